#ifndef PDB_CONVERT_CIF_WINDOWS_H_
#define PDB_CONVERT_CIF_WINDOWS_H_

#include <cstdint>

// The classes of a CIF text's bytes, many at a time, as bit masks: bit i
// for bytes[i]. The processor's vector instructions make them where there
// are some (SSE2, NEON); a plain loop a byte at a time is the reference
// that they must match, and makes them everywhere else.

// The classes of 64 bytes.
struct cif_masks {
  std::uint64_t blanks;    // blank, tab, CR, LF: white space
  std::uint64_t feeds;     // LF
  std::uint64_t controls;  // other control characters, and DEL
  // Whether any byte is a quote, #, ; or _ (one that may begin a quoted
  // value, a comment, a text field or a tag, or lies in every keyword), or
  // &, which the vector code finds with the quotes and #.
  bool marked;
};

cif_masks classified(const char* bytes);
cif_masks classified_plainly(const char* bytes);

// The classes of up to 128 bytes, those of a loop row that may be read
// whole: the bytes up to the blank, and the odd ones, which such a row may
// not hold: control characters but the blank (a tab, a line feed), DEL,
// quotes, #, & and _. (A ; begins a text field only where it begins a
// line, which the row's first word alone may.) Bits past the bytes
// classified are 0.
struct cif_row_masks {
  std::uint64_t blanks[2];
  std::uint64_t odd[2];
};

// Of the first 16 * chunks bytes, chunks from 1 to 8.
cif_row_masks classified_row(const char* bytes, int chunks);
cif_row_masks classified_row_plainly(const char* bytes, int chunks);

#endif  // PDB_CONVERT_CIF_WINDOWS_H_
