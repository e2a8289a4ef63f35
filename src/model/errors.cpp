#include "parley/errors.hpp"

#include <array>

#include "model/access.hpp"

namespace parley {
namespace {
struct CatalogueEntry {
  int32_t number;
  std::string_view name;
  std::string_view message;
};

constexpr std::array kCatalogue = {
#define PARLEY_ENTRY(name, number, message) \
  CatalogueEntry{static_cast<int32_t>(number), #name, message},
    PARLEY_ERROR_TABLE(PARLEY_ENTRY)
#undef PARLEY_ENTRY
};

const CatalogueEntry* Find(int32_t number) {
  for (const auto& entry : kCatalogue) {
    if (entry.number == number) return &entry;
  }
  return nullptr;
}
}  // namespace

std::string_view CatalogueMessage(int32_t number) {
  const auto* entry = Find(number);
  return entry ? entry->message : std::string_view{};
}

std::string_view ErrorName(int32_t number) {
  const auto* entry = Find(number);
  return entry ? entry->name : std::string_view{};
}

AutomationError::AutomationError(int32_t number, std::string source, std::string description)
    : number_(number), source_(std::move(source)), description_(std::move(description)) {}

namespace detail {
AutomationError DirectError(int32_t number, std::string source) {
  return AutomationError(number, std::move(source), std::string(kDefaultDescription));
}
}  // namespace detail

}  // namespace parley
