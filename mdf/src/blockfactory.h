#pragma once
// Where blocks are made from what a file holds: the data and list block classes by their
// type. The members of the base classes that make blocks of their subclasses (a block's
// comment and texts, a list's children) are defined in blockfactory.cpp too, above every
// block class, so that no base includes a subclass.
#include <memory>
#include <string>

#include "mdfblock.h"

namespace mdf::detail {

/// A new data or list block of the type ("DT", "DZ", "HL", "DL", "LD", "SR", ...; without
/// the "##"); null for a type that no list holds.
[[nodiscard]] std::unique_ptr<MdfBlock> CreateDataBlock(const std::string& type);

}  // namespace mdf::detail
