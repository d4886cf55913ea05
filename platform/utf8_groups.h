#pragma once
// The character groups of utf8IsGroup. A header of their own because the generated tables
// (utf8_tables.*) are laid out by group and the routines (utf8.*) read them: both include
// this, and the tables need nothing else of the routines.

/// Character groups for utf8IsGroup: Unicode general categories, then scripts.
enum cUtf8Group_t : int {
  kUtf8GroupCc,
  kUtf8GroupLt,
  kUtf8GroupNd,
  kUtf8GroupNl,
  kUtf8GroupPc,
  kUtf8GroupPd,
  kUtf8GroupPf,
  kUtf8GroupPi,
  kUtf8GroupSc,
  kUtf8GroupZl,
  kUtf8GroupZp,
  kUtf8GroupZs,
  kUtf8GroupArabic,
  kUtf8GroupCyrillic,
  kUtf8GroupDevanagari,
  kUtf8GroupGreek,
  kUtf8GroupHan,
  kUtf8GroupLatin,
  kUtf8GroupCount,
};
