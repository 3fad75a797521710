#include "cif_windows.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON) && !defined(__ARM_BIG_ENDIAN)
#include <arm_neon.h>
#endif

// Each instruction set's code gives the same masks as the plain loop, which
// the tests and the fuzz target hold it to: whatever the processor, the
// scanner reads the same tokens.

static bool is_control(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

cif_masks classified_plainly(const char* bytes) {
  cif_masks m = {0, 0, 0, false};
  for (int i = 0; i < 64; ++i) {
    char c = bytes[i];
    std::uint64_t bit = std::uint64_t{1} << i;
    bool blank = c == ' ' || c == '\t' || c == '\n' || c == '\r';
    if (blank) m.blanks |= bit;
    if (c == '\n') m.feeds |= bit;
    if (!blank && is_control(c)) m.controls |= bit;
    m.marked |=
        c == '\'' || c == '"' || c == '#' || c == '&' || c == ';' || c == '_';
  }
  return m;
}

// Control characters other than blanks are rare: the vector code only
// tells whether there are any, and the plain loop finds them.
[[gnu::noinline]] static std::uint64_t controls_of(const char* bytes) {
  return classified_plainly(bytes).controls;
}

#if defined(__SSE2__)

// The bytes of v that are marks: quotes, # and & (which differ from ' in
// the bits of 5 alone, as " does), ; and _.
static __m128i marks_of(__m128i v) {
  __m128i quotes =
      _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(5)), _mm_set1_epi8('\''));
  return _mm_or_si128(
      _mm_or_si128(quotes, _mm_cmpeq_epi8(v, _mm_set1_epi8(';'))),
      _mm_cmpeq_epi8(v, _mm_set1_epi8('_')));
}

// Every blank, tab, CR and LF, and every other control character.
[[gnu::noinline]] static cif_masks classify_exactly(const char* bytes) {
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i tab = _mm_set1_epi8('\t');
  const __m128i feed = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i last_control = _mm_set1_epi8(0x1f);
  const __m128i del = _mm_set1_epi8(0x7f);
  cif_masks m = {0, 0, 0, false};
  __m128i controls = _mm_setzero_si128();
  __m128i marks = _mm_setzero_si128();
  for (int k = 0; k < 4; ++k) {
    __m128i v =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * k));
    marks = _mm_or_si128(marks, marks_of(v));
    __m128i feeds = _mm_cmpeq_epi8(v, feed);
    __m128i blanks = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, space), feeds),
        _mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, cr)));
    // Unsigned v <= 0x1f: the minimum of the two is v.
    __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, last_control), v);
    controls = _mm_or_si128(
        controls,
        _mm_andnot_si128(blanks, _mm_or_si128(low, _mm_cmpeq_epi8(v, del))));
    int shift = 16 * k;
    m.blanks |= std::uint64_t{std::uint16_t(_mm_movemask_epi8(blanks))}
                << shift;
    m.feeds |= std::uint64_t{std::uint16_t(_mm_movemask_epi8(feeds))} << shift;
  }
  if (_mm_movemask_epi8(controls) != 0) m.controls = controls_of(bytes);
  m.marked = _mm_movemask_epi8(marks) != 0;
  return m;
}

// Most windows hold no byte below the blank but spaces and line feeds:
// their blanks are the bytes up to the blank. Any other, a tab or a CR say,
// is classified exactly.
static cif_masks classify(const char* bytes) {
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i feed = _mm_set1_epi8('\n');
  const __m128i del = _mm_set1_epi8(0x7f);
  std::uint64_t blanks = 0;
  std::uint64_t feeds = 0;
  __m128i odd = _mm_setzero_si128();
  __m128i marks = _mm_setzero_si128();
  for (int k = 0; k < 4; ++k) {
    __m128i v =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * k));
    __m128i f = _mm_cmpeq_epi8(v, feed);
    __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, space), v);
    __m128i usual = _mm_or_si128(_mm_cmpeq_epi8(v, space), f);
    odd = _mm_or_si128(
        odd, _mm_or_si128(_mm_xor_si128(low, usual), _mm_cmpeq_epi8(v, del)));
    marks = _mm_or_si128(marks, marks_of(v));
    int shift = 16 * k;
    blanks |= std::uint64_t{std::uint16_t(_mm_movemask_epi8(low))} << shift;
    feeds |= std::uint64_t{std::uint16_t(_mm_movemask_epi8(f))} << shift;
  }
  if (_mm_movemask_epi8(odd) != 0) return classify_exactly(bytes);
  return {blanks, feeds, 0, _mm_movemask_epi8(marks) != 0};
}

#elif defined(__ARM_NEON) && !defined(__ARM_BIG_ENDIAN)

// NEON has no movemask: each byte's compare result, masked to its bit's
// weight and summed in pairs three times over, gives the bits of 64 bytes.
static std::uint64_t bits_of(const uint8x16_t (&compared)[4]) {
  static const uint8_t kWeights[16] = {1, 2, 4, 8, 16, 32, 64, 128,
                                       1, 2, 4, 8, 16, 32, 64, 128};
  const uint8x16_t weights = vld1q_u8(kWeights);
  uint8x8_t pairs[4];
  for (int k = 0; k < 4; ++k) {
    uint8x16_t weighed = vandq_u8(compared[k], weights);
    pairs[k] = vpadd_u8(vget_low_u8(weighed), vget_high_u8(weighed));
  }
  uint8x8_t sums =
      vpadd_u8(vpadd_u8(pairs[0], pairs[1]), vpadd_u8(pairs[2], pairs[3]));
  return vget_lane_u64(vreinterpret_u64_u8(sums), 0);
}

// Whether any byte of the 16 is not zero.
static bool any(uint8x16_t v) {
  uint8x8_t halves = vorr_u8(vget_low_u8(v), vget_high_u8(v));
  return vget_lane_u64(vreinterpret_u64_u8(halves), 0) != 0;
}

static cif_masks classify(const char* bytes) {
  uint8x16_t blanks[4], feeds[4];
  uint8x16_t controls = vdupq_n_u8(0);
  uint8x16_t marks = vdupq_n_u8(0);
  for (int k = 0; k < 4; ++k) {
    uint8x16_t v = vld1q_u8(reinterpret_cast<const uint8_t*>(bytes + 16 * k));
    marks = vorrq_u8(
        marks, vorrq_u8(vceqq_u8(vorrq_u8(v, vdupq_n_u8(5)), vdupq_n_u8('\'')),
                        vorrq_u8(vceqq_u8(v, vdupq_n_u8(';')),
                                 vceqq_u8(v, vdupq_n_u8('_')))));
    feeds[k] = vceqq_u8(v, vdupq_n_u8('\n'));
    blanks[k] = vorrq_u8(
        vorrq_u8(vceqq_u8(v, vdupq_n_u8(' ')), feeds[k]),
        vorrq_u8(vceqq_u8(v, vdupq_n_u8('\t')), vceqq_u8(v, vdupq_n_u8('\r'))));
    controls =
        vorrq_u8(controls, vbicq_u8(vorrq_u8(vcleq_u8(v, vdupq_n_u8(0x1f)),
                                             vceqq_u8(v, vdupq_n_u8(0x7f))),
                                    blanks[k]));
  }
  cif_masks m = {bits_of(blanks), bits_of(feeds), 0, any(marks)};
  if (any(controls)) m.controls = controls_of(bytes);
  return m;
}

#else

static cif_masks classify(const char* bytes) {
  return classified_plainly(bytes);
}

#endif

cif_masks classified(const char* bytes) { return classify(bytes); }

// A loop row's bytes, which a row read whole holds only plain values in.

static bool is_odd_in_row(char c) {
  return is_control(c) || c == '\'' || c == '"' || c == '#' || c == '&' ||
         c == '_';
}

cif_row_masks classified_row_plainly(const char* bytes, int chunks) {
  cif_row_masks m = {{0, 0}, {0, 0}};
  for (int i = 0; i < 16 * chunks; ++i) {
    std::uint64_t bit = std::uint64_t{1} << (i % 64);
    if (static_cast<unsigned char>(bytes[i]) <= ' ') m.blanks[i / 64] |= bit;
    if (is_odd_in_row(bytes[i])) m.odd[i / 64] |= bit;
  }
  return m;
}

#if defined(__SSE2__)

// The row's bytes from chunk first to chunk last, of 16 each, into the
// masks of its half: last - first is at most 4.
static void classify_row_half(const char* bytes, int first, int last,
                              std::uint64_t& blanks, std::uint64_t& odd) {
  const __m128i space = _mm_set1_epi8(' ');
  for (int k = first; k < last; ++k) {
    __m128i v =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * k));
    __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, space), v);
    // _ and DEL differ in the bit of 0x20 alone; quotes, # and & from ' in
    // the bits of 5.
    __m128i marks = _mm_or_si128(
        _mm_xor_si128(low, _mm_cmpeq_epi8(v, space)),
        _mm_or_si128(_mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)),
                                    _mm_set1_epi8(0x7f)),
                     _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(5)),
                                    _mm_set1_epi8('\''))));
    int shift = 16 * (k - first);
    blanks |= std::uint64_t{std::uint32_t(_mm_movemask_epi8(low))} << shift;
    odd |= std::uint64_t{std::uint32_t(_mm_movemask_epi8(marks))} << shift;
  }
}

cif_row_masks classified_row(const char* bytes, int chunks) {
  cif_row_masks m = {{0, 0}, {0, 0}};
  classify_row_half(bytes, 0, chunks < 4 ? chunks : 4, m.blanks[0], m.odd[0]);
  if (chunks > 4) classify_row_half(bytes, 4, chunks, m.blanks[1], m.odd[1]);
  return m;
}

#elif defined(__ARM_NEON) && !defined(__ARM_BIG_ENDIAN)

// The bits of one compare's 16 bytes, summed in pairs as bits_of does.
static std::uint64_t bits_of_16(uint8x16_t compared) {
  static const uint8_t kWeights[16] = {1, 2, 4, 8, 16, 32, 64, 128,
                                       1, 2, 4, 8, 16, 32, 64, 128};
  uint8x16_t weighed = vandq_u8(compared, vld1q_u8(kWeights));
  uint8x8_t sums = vpadd_u8(vget_low_u8(weighed), vget_high_u8(weighed));
  sums = vpadd_u8(sums, sums);
  sums = vpadd_u8(sums, sums);
  return vget_lane_u16(vreinterpret_u16_u8(sums), 0);
}

cif_row_masks classified_row(const char* bytes, int chunks) {
  cif_row_masks m = {{0, 0}, {0, 0}};
  for (int k = 0; k < chunks; ++k) {
    uint8x16_t v = vld1q_u8(reinterpret_cast<const uint8_t*>(bytes + 16 * k));
    uint8x16_t low = vcleq_u8(v, vdupq_n_u8(' '));
    uint8x16_t marks = vorrq_u8(
        vorrq_u8(vcltq_u8(v, vdupq_n_u8(' ')),
                 vceqq_u8(vorrq_u8(v, vdupq_n_u8(0x20)), vdupq_n_u8(0x7f))),
        vceqq_u8(vorrq_u8(v, vdupq_n_u8(5)), vdupq_n_u8('\'')));
    int shift = 16 * (k % 4);
    m.blanks[k / 4] |= bits_of_16(low) << shift;
    m.odd[k / 4] |= bits_of_16(marks) << shift;
  }
  return m;
}

#else

cif_row_masks classified_row(const char* bytes, int chunks) {
  return classified_row_plainly(bytes, chunks);
}

#endif
