#include "toml_file.hpp"

#include <algorithm>
#include <stdexcept>

#include "input_file.hpp"

namespace parley::tools {

TomlFile::TomlFile(std::string path, const std::string& what) : path_(std::move(path)) {
  std::string text = ReadInputFile(path_, what);
  CheckTomlNesting(text, path_);
  try {
    root_ = toml::parse(text, path_);
  } catch (const toml::parse_error& e) {
    const auto& at = e.source().begin;
    throw std::invalid_argument(path_ + ":" + std::to_string(at.line) + ":" +
                                std::to_string(at.column) +
                                ": syntax error: " + std::string(e.description()));
  }
}

std::string TomlFile::Where(const toml::source_region& at) const {
  return path_ + ":" + std::to_string(at.begin.line);
}

void TomlFile::Fail(const toml::source_region& at, const std::string& what) const {
  throw std::invalid_argument(Where(at) + ": " + what);
}

std::vector<TomlFile::Entry> TomlFile::InFileOrder(const toml::table& table) {
  std::vector<Entry> entries;
  for (const auto& [key, node] : table) entries.emplace_back(&key, &node);
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.first->source().begin < b.first->source().begin;
  });
  return entries;
}

void TomlFile::RefuseUnknownKeys(const toml::table& table, const std::vector<std::string>& allowed,
                                 const std::string& where) const {
  for (const auto& [key, node] : InFileOrder(table)) {
    if (std::find(allowed.begin(), allowed.end(), key->str()) != allowed.end()) continue;
    Fail(key->source(), "unknown key '" + std::string(key->str()) + "' in " + where +
                            "; allowed: " + JoinWords(allowed));
  }
}

std::string JoinWords(const std::vector<std::string>& words) {
  std::string out;
  for (const auto& w : words) out += (out.empty() ? "" : ", ") + w;
  return out;
}

}  // namespace parley::tools
