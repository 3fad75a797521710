#include "cif_scanner.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "cif_bytes.h"
#include "input_file.h"
#include "string_functions.h"

// The scanner has two speeds. next_token, here, reads any token, a loop over
// its bytes in each of a few states (between tokens, in a bare word, in a
// quoted value, in a text field, in a comment), and carries what a block
// holds of a token that runs on into the next. read_loop_values, which reads
// nearly all of a file's bytes, takes the loop rows' plain values many bytes
// at a time (cif_loop_rows.cpp).

[[noreturn]] static void die_at(const cif_scanner& s, long line,
                                const char* what) {
  fail_if_damaged(s.in);
  fprintf(stderr, "%s:%ld: %s\n", s.file, line, what);
  exit(1);
}

static std::size_t count_controls(const char* from, const char* to) {
  return std::count_if(from, to, is_control);
}

// FNV-1a over the bytes, in lower case, from hash on.
static const std::uint64_t kHashStart = 0xcbf29ce484222325u;
static std::uint64_t hashed(std::uint64_t hash, const char* from,
                            const char* to) {
  for (; from != to; ++from) {
    hash = (hash ^ static_cast<unsigned char>(lower_ascii(*from))) *
           0x100000001b3u;
  }
  return hash;
}

// Takes the next block of text; false, with none at hand, at the end. The
// values that lie in the block at hand are given bytes of their own first.
static bool more_text(cif_scanner& s) {
  for (std::size_t i = 0; i < s.kept_count; ++i) {
    cif_value& v = s.kept[i];
    if (v.text.data() != v.own) copy_to_own(v);
  }
  s.window.at = nullptr;
  std::string_view text;
  if (!read_text(s.in, text)) {
    s.begin = s.next = s.end = nullptr;
    return false;
  }
  s.begin = s.next = text.data();
  s.end = text.data() + text.size();
  return true;
}

// Keeps [from, to), the part of a token that this block holds, before the
// next block is taken: its first bytes, its length, its control characters,
// its last two bytes, and, where the token may be a long number or a value
// that decides, all of it in the number reader or in whole.
static void carry(cif_scanner& s, const char* from, const char* to) {
  if (from == to) return;
  std::size_t n = to - from;
  if (s.number != nullptr) {
    if (s.carried_length == 0) start_number(*s.number);
    read_number_part(*s.number, from, n);
  }
  if (s.whole != nullptr) {
    if (s.carried_length == 0) s.whole->clear();
    s.whole->append(from, n);
  }
  std::size_t kept = std::min(n, kMaxValue - s.carried_size);
  memcpy(s.carried + s.carried_size, from, kept);
  s.carried_size += kept;
  s.carried_length += n;
  s.carried_controls += count_controls(from, to);
  if (s.hashing) s.hash = hashed(s.hash, from, to);
  s.carried_tail[0] = n >= 2 ? to[-2] : s.carried_tail[1];
  s.carried_tail[1] = to[-1];
}

// Drops the last byte carried: the quote or line end that turned out to end
// the token.
static void uncarry_last(cif_scanner& s) {
  if (s.carried_size == s.carried_length) --s.carried_size;
  --s.carried_length;
  if (s.whole != nullptr) s.whole->pop_back();
  s.carried_controls -= is_control(s.carried_tail[1]);
  s.carried_tail[1] = s.carried_tail[0];
}

// Sets t's bytes: what was carried of it, and [from, to).
static void settle(cif_scanner& s, cif_token& t, const char* from,
                   const char* to) {
  if (s.hashing) t.hash = hashed(s.hash, from, to);
  if (s.carried_length == 0) {
    t.text = std::string_view(from, to - from);
    t.length = t.text.size();
    t.control = count_controls(from, to) != 0;
    if (s.number != nullptr && t.length > kMaxValue) {
      start_number(*s.number);
      read_number_part(*s.number, from, t.length);
    }
    if (s.whole != nullptr && t.length > kMaxValue) s.whole->assign(from, to);
    return;
  }
  carry(s, from, to);
  t.text = std::string_view(s.carried, s.carried_size);
  t.length = s.carried_length;
  t.control = s.carried_controls != 0;
}

static void skip_to_line_feed(cif_scanner& s) {
  for (;;) {
    const void* feed = memchr(s.next, '\n', s.end - s.next);
    if (feed != nullptr) {
      s.next = static_cast<const char*>(feed);
      return;
    }
    if (!more_text(s)) return;
  }
}

// Passes over white space and comments to the next token's first byte;
// false at the end of the input.
static bool skip_to_token(cif_scanner& s) {
  for (;;) {
    const char* p = s.next;
    while (p != s.end && class_of(*p) == kSpace) ++p;
    if (p != s.next) s.line_start = false;
    s.next = p;
    if (p == s.end) {
      if (!more_text(s)) return false;
    } else if (*p == '\n') {
      ++s.line;
      s.line_start = true;
      ++s.next;
    } else if (*p == '#') {
      skip_to_line_feed(s);
    } else {
      return true;
    }
  }
}

static void scan_bare(cif_scanner& s, cif_token& t) {
  const char* from = s.next;
  for (;;) {
    const char* p = s.next;
    while (p != s.end && class_of(*p) < kSpace) ++p;
    s.next = p;
    if (p != s.end) break;
    carry(s, from, p);
    bool more = more_text(s);
    from = s.next;
    if (!more) break;
  }
  settle(s, t, from, s.next);
  t.kind = kind_of_word(t.text, t.length);
}

// A quoted value ends at its quote followed by white space, so that 'O5'X'
// is the value O5'X; it may not run past its line.
static void scan_quoted(cif_scanner& s, cif_token& t) {
  char quote = *s.next++;
  const char* from = s.next;
  t.kind = kCifValue;
  for (;;) {
    const char* p = s.next;
    while (p != s.end && *p != quote && *p != '\n') ++p;
    if (p != s.end && *p == '\n') {
      die_at(s, t.line, "quoted value not closed on its line");
    }
    if (p == s.end) {
      carry(s, from, p);
      if (!more_text(s)) die_at(s, t.line, "quoted value not closed");
      from = s.next;
    } else if (p + 1 != s.end) {
      s.next = p + 1;
      if (!is_blank(p[1])) continue;
      settle(s, t, from, p);
      return;
    } else {
      // The quote ends the block: the next block's first byte tells.
      carry(s, from, p + 1);
      if (!more_text(s) || is_blank(*s.next)) {
        uncarry_last(s);
        settle(s, t, s.next, s.next);
        return;
      }
      from = s.next;
    }
  }
}

// A text field runs from a ';' that starts a line to the next line that
// starts with one; its value is what lies between, less the line end before
// the closing ';': the line feed, and in a file of CRLF line ends the CR
// before it.
static void scan_text_field(cif_scanner& s, cif_token& t) {
  const char* from = ++s.next;
  t.kind = kCifValue;
  for (;;) {
    const char* feed =
        static_cast<const char*>(memchr(s.next, '\n', s.end - s.next));
    if (feed == nullptr) {
      carry(s, from, s.end);
      if (!more_text(s)) die_at(s, t.line, "text field not closed");
      from = s.next;
      continue;
    }
    ++s.line;
    if (feed + 1 != s.end) {
      s.next = feed + 1;
      if (feed[1] != ';') continue;
      const char* to = feed;
      if (to != from && to[-1] == '\r') {
        --to;
      } else if (to == from && s.carried_length != 0 &&
                 s.carried_tail[1] == '\r') {
        uncarry_last(s);
      }
      settle(s, t, from, to);
      s.next = feed + 2;
      return;
    }
    // The line feed ends the block: the next block's first byte tells.
    carry(s, from, s.end);
    if (!more_text(s)) die_at(s, t.line, "text field not closed");
    from = s.next;
    if (*s.next == ';') {
      uncarry_last(s);
      if (s.carried_length != 0 && s.carried_tail[1] == '\r') uncarry_last(s);
      settle(s, t, from, from);
      ++s.next;
      return;
    }
  }
}

void next_token(cif_scanner& s, cif_token& t) {
  // It moves next and counts lines: what read_loop_values knew is stale.
  s.window.at = nullptr;
  if (!skip_to_token(s)) {
    t.kind = kCifEnd;
    t.line = s.line;
    return;
  }
  t.line = s.line;
  bool line_start = s.line_start;
  s.line_start = false;
  s.carried_size = s.carried_length = s.carried_controls = 0;
  s.carried_tail[0] = s.carried_tail[1] = '\0';
  char c = *s.next;
  s.hashing = c == '_';
  s.hash = kHashStart;
  if (c == ';' && line_start) {
    scan_text_field(s, t);
  } else if (c == '\'' || c == '"') {
    scan_quoted(s, t);
  } else {
    scan_bare(s, t);
  }
}

void store_value(const cif_scanner& s, cif_value& v, const cif_token& t) {
  v.absent = t.kind == kCifAbsent;
  v.length = v.absent ? 0 : t.length;
  v.text = std::string_view(t.text.data(), std::min(v.length, kMaxValue));
  v.control = t.control;
  v.line = t.line;
  if (v.text.data() == s.carried) copy_to_own(v);
}
