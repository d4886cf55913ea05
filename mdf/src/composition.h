#pragma once
// A channel's composition: channel arrays and member channels nest into each other, so a
// channel block makes arrays and an array block makes channels. Only this file knows both:
// the members of Cn4Block and Ca4Block that make or look into the other kind are defined in
// composition.cpp, above both block classes, so that neither includes the other. In a
// damaged file a composition link may lead back into the tree being read. One guard per
// top-level read (the channel or array read on its own) remembers every block of the tree
// and counts its levels; each nested read gets it as an argument.
#include <cstdint>
#include <memory>
#include <streambuf>
#include <vector>

namespace mdf::detail {

class MdfBlock;
class ReadGuard;

/// Reads the composition at `first` into the list of `owner`: one channel array, or the
/// member channels chained from there on (each element's next link leads to the following
/// one). `guard` is the one of the tree being read, rooted at the channel or array read on
/// its own.
void ReadComposition(std::streambuf& buffer, int64_t first, MdfBlock& owner,
                     std::vector<std::unique_ptr<MdfBlock>>& list, ReadGuard& guard);

}  // namespace mdf::detail
