#pragma once
// The display rows of a block, look-ups in them by label, and a table check of values.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "mdf/blockproperty.h"
#include "mdfblock.h"

namespace test {

/// Every block lists these rows first: header, address, type, length, links, separator.
inline constexpr size_t kHeaderRows = 6;

inline std::vector<mdf::BlockProperty> Rows(const mdf::detail::MdfBlock& block) {
  std::vector<mdf::BlockProperty> rows;
  block.GetBlockProperty(rows);
  return rows;
}

/// The first row with the label; null without one.
inline const mdf::BlockProperty* FindRow(const std::vector<mdf::BlockProperty>& rows, const std::string& label) {
  for (const auto& row : rows) {
    if (row.label == label) return &row;
  }
  return nullptr;
}

inline std::vector<const mdf::BlockProperty*> RowsLabelled(const std::vector<mdf::BlockProperty>& rows,
                                                           const std::string& label) {
  std::vector<const mdf::BlockProperty*> found;
  for (const auto& row : rows) {
    if (row.label == label) found.push_back(&row);
  }
  return found;
}

inline size_t CountRows(const std::vector<mdf::BlockProperty>& rows, const std::string& label) {
  return RowsLabelled(rows, label).size();
}

/// The value of the first row with the label; "<missing>" without one.
inline std::string RowValue(const std::vector<mdf::BlockProperty>& rows, const std::string& label) {
  const auto* row = FindRow(rows, label);
  return row != nullptr ? row->value : "<missing>";
}

/// Expects each label's first row to hold the value; a missing row shows as "<missing>".
inline void ExpectRowValues(const std::vector<mdf::BlockProperty>& rows,
                            const std::vector<std::pair<std::string, std::string>>& expected) {
  for (const auto& [label, value] : expected) EXPECT_EQ(RowValue(rows, label), value) << "row " << label;
}

/// Label and value of every row from `first` on.
inline std::vector<std::pair<std::string, std::string>> LabelsAndValues(const std::vector<mdf::BlockProperty>& rows,
                                                                        size_t first = 0) {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (size_t i = first; i < rows.size(); ++i) pairs.emplace_back(rows[i].label, rows[i].value);
  return pairs;
}

/// "label=value" of every row from `first` on.
inline std::vector<std::string> LabelValueTexts(const std::vector<mdf::BlockProperty>& rows, size_t first = 0) {
  std::vector<std::string> texts;
  for (size_t i = first; i < rows.size(); ++i) texts.push_back(rows[i].label + "=" + rows[i].value);
  return texts;
}

/// Rows as "label=value|description" lines; "--" for a separator, "# heading" for a heading.
inline std::string Listing(const std::vector<mdf::BlockProperty>& rows) {
  std::string text;
  for (const auto& row : rows) {
    switch (row.type) {
      case mdf::BlockItemType::BlankItem:
        text += "--\n";
        break;
      case mdf::BlockItemType::HeaderItem:
        text += "# " + row.label + "\n";
        break;
      default:
        text += row.label + "=" + row.value + (row.description.empty() ? "" : "|" + row.description) + "\n";
        break;
    }
  }
  return text;
}

}  // namespace test
