// Umbrella header of the Parley library.
#pragma once

#include "parley/address.hpp"
#include "parley/connection.hpp"
#include "parley/enums.hpp"
#include "parley/errors.hpp"
#include "parley/event.hpp"
#include "parley/export.hpp"
#include "parley/gpib.hpp"
#include "parley/interface.hpp"
#include "parley/loop.hpp"
#include "parley/progress.hpp"
#include "parley/serial.hpp"
#include "parley/transaction.hpp"
