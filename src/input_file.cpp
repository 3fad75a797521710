#include "input_file.h"

#include <fcntl.h>
#include <unistd.h>
#ifdef PDB_CONVERT_INFLATE_ISAL
#include <isa-l/igzip_lib.h>
#else
#include <zlib.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

// Lines are returned where they lie in one large buffer, filled by large
// reads: a line costs a search for its line feed, and only a line that
// straddles the buffer's end is moved, to its front. The buffer never grows,
// so that no input, however its lines are cut, needs more memory than this.
static const std::size_t kBufferSize = 128 * 1024;
// What is kept of a line longer than the buffer: its start. The rest is
// skipped as it is read; a coordinate record needs its first 54 bytes.
static const std::size_t kLongLineKept = 1024;

// The format is told by the first bytes, never by the name: a pipe has none,
// and a renamed file keeps its bytes. xz's six-byte magic is the longest.
static const std::size_t kMagicSize = 6;
// A byte order mark is at most four bytes (UTF-32's).
static const std::size_t kMarkSize = 4;
static const std::string_view kUtf8Mark = "\xEF\xBB\xBF";

// What limit_text_reads sets, for the inputs opened after it.
static std::size_t first_text_read_limit = 0;
static std::size_t text_read_limit = 0;

// The gzip inflater: ISA-L's where the build has it, since it runs nearly
// three times as fast, and zlib's elsewhere. Each reads gzip's format alone,
// checks a member's CRC and length, and stops at the member's end with
// next_in just past it; the code below touches nothing of the two but the
// buffers, which both name alike, and these functions.
#ifdef PDB_CONVERT_INFLATE_ISAL
struct inflater : inflate_state {
  inflater() { isal_inflate_init(this); }
};

// Readies the stream for the member at next_in.
static void reset_inflater(inflater& stream) {
  isal_inflate_reset(&stream);
  stream.crc_flag = ISAL_GZIP;
}

static bool member_finished(const inflater& stream) {
  return stream.block_state == ISAL_BLOCK_FINISH;
}

// Inflates what it can; false where the data is damaged.
static bool inflated(inflater& stream) {
  return isal_inflate(&stream) == ISAL_DECOMP_OK;
}
#else
// zlib's memory comes from operator new, so that where there is none the run
// ends with the program's own message, as it does where ISA-L's state is
// allocated.
static voidpf allocate(voidpf, uInt items, uInt size) {
  return ::operator new(std::size_t(items) * size, std::nothrow);
}

static void deallocate(voidpf, voidpf address) { ::operator delete(address); }

// Where inflateInit2 fails, for want of memory without a handler, zlib
// refuses every later call on the stream, and reading fails.
struct inflater : z_stream {
  inflater() : z_stream() {
    zalloc = allocate;
    zfree = deallocate;
    // 16 above the window's bits: gzip's format, and only it.
    inflateInit2(this, 16 + MAX_WBITS);
  }
  ~inflater() { inflateEnd(this); }
  bool finished = false;
};

static void reset_inflater(inflater& stream) {
  inflateReset(&stream);
  stream.finished = false;
}

static bool member_finished(const inflater& stream) { return stream.finished; }

static bool inflated(inflater& stream) {
  int status = inflate(&stream, Z_NO_FLUSH);
  stream.finished = status == Z_STREAM_END;
  return status == Z_OK || status == Z_STREAM_END;
}
#endif

struct input_file {
  ~input_file() {
    if (fd >= 0) close(fd);
  }

  std::string name;  // as given, for the messages
  int fd = -1;
  bool eof = false;     // read has returned the end of the file, or failed
  bool failed = false;  // reading failed, or the compressed data is damaged
  // The text: [begin, end) is read and not yet returned.
  std::unique_ptr<char[]> text{new char[kBufferSize]};
  std::size_t begin = 0;
  std::size_t end = 0;
  bool done = false;  // no more text will come
  // The most bytes read_text gives, the first time and after (0: no limit).
  std::size_t first_text_read = 0;
  std::size_t text_read = 0;
  // A gzip input is read into raw and inflated into text through stream.
  std::unique_ptr<char[]> raw;
  std::unique_ptr<inflater> stream;
};

[[noreturn]] static void die_unreadable(const input_file* in) {
  fprintf(stderr, "Could not read %s\n", in->name.c_str());
  exit(1);
}

[[noreturn]] static void refuse(const input_file* in, const char* what) {
  fprintf(stderr, "%s: %s\n", in->name.c_str(), what);
  exit(1);
}

// Up to size bytes of what the file holds next; 0 at its end and after a
// read error, which failed then tells apart.
static std::size_t read_some(input_file* in, char* buffer, std::size_t size) {
  if (in->eof) return 0;
  for (;;) {
    ssize_t n = read(in->fd, buffer, std::min<std::size_t>(size, SSIZE_MAX));
    if (n > 0) return n;
    if (n < 0 && errno == EINTR) continue;
    in->eof = true;
    in->failed = n < 0;
    return 0;
  }
}

// Frees room after the text for more of it: the unreturned rest, part of a
// line, moves to the front.
static void make_room(input_file* in) {
  if (in->begin == 0) return;
  memmove(in->text.get(), in->text.get() + in->begin, in->end - in->begin);
  in->end -= in->begin;
  in->begin = 0;
}

static bool buffer_full(const input_file* in) {
  return in->begin == 0 && in->end == kBufferSize;
}

// Reads until at least n bytes of compressed input are at hand; false at the
// end of the input.
static bool raw_at_hand(input_file* in, uint32_t n) {
  inflater& stream = *in->stream;
  while (stream.avail_in < n) {
    memmove(in->raw.get(), stream.next_in, stream.avail_in);
    stream.next_in = reinterpret_cast<uint8_t*>(in->raw.get());
    std::size_t got = read_some(in, in->raw.get() + stream.avail_in,
                                kBufferSize - stream.avail_in);
    if (got == 0) return false;
    stream.avail_in += got;
  }
  return true;
}

// Starts inflating the member at hand. One with reserved flag bits set in
// its header is damaged, as gzip -d finds it; ISA-L would read it.
static void start_member(input_file* in) {
  inflater& stream = *in->stream;
  reset_inflater(stream);
  static const uint32_t kFlags = 3;
  static const uint8_t kReservedFlags = 0xE0;
  if (raw_at_hand(in, kFlags + 1) &&
      (stream.next_in[kFlags] & kReservedFlags) != 0) {
    in->failed = in->done = true;
  }
}

// Reads what follows a member: nothing, another member, or zero bytes to the
// end of the input, which tape and block-padded downloads add and gzip -d
// ignores. Returns whether another member follows; anything else after the
// padding is damage.
static bool member_follows(input_file* in) {
  inflater& stream = *in->stream;
  if (!raw_at_hand(in, 1)) {
    in->done = true;
    return false;
  }
  if (stream.next_in[0] != 0) return true;
  do {
    uint8_t* end = stream.next_in + stream.avail_in;
    in->failed |= std::find_if(stream.next_in, end,
                               [](uint8_t byte) { return byte != 0; }) != end;
    stream.avail_in = 0;
  } while (!in->failed && raw_at_hand(in, 1));
  in->done = true;
  return false;
}

// Inflates into the room after the text until some text comes out or there
// is no more. Members that follow one another make one text, as gzip -d
// reads them; the input must end where a member does, and anything else is
// damage, as is a wrong CRC or length.
static void inflate_more(input_file* in) {
  inflater& stream = *in->stream;
  stream.next_out = reinterpret_cast<uint8_t*>(in->text.get() + in->end);
  stream.avail_out = kBufferSize - in->end;
  const uint32_t room = stream.avail_out;
  while (stream.avail_out == room && !in->done) {
    if (member_finished(stream)) {
      if (!member_follows(in)) break;
      start_member(in);
      continue;
    }
    if (stream.avail_in == 0 && !raw_at_hand(in, 1)) {
      in->failed = in->done = true;
      break;
    }
    if (!inflated(stream)) in->failed = in->done = true;
  }
  in->end += room - stream.avail_out;
}

// Adds text after what is buffered; false when there is no more.
static bool fill(input_file* in) {
  if (in->done) return false;
  make_room(in);
  std::size_t before = in->end;
  if (in->stream) {
    inflate_more(in);
  } else {
    in->end += read_some(in, in->text.get() + in->end, kBufferSize - in->end);
    in->done = in->eof;
  }
  return in->end > before;
}

// What is buffered has been read as compressed: it becomes the first input
// of the inflater, and the text starts anew.
static void start_inflating(input_file* in) {
  in->raw = std::move(in->text);
  in->text.reset(new char[kBufferSize]);
  in->stream.reset(new inflater);
  in->stream->next_in = reinterpret_cast<uint8_t*>(in->raw.get());
  in->stream->avail_in = in->end;
  in->begin = in->end = 0;
  in->done = false;
  start_member(in);
}

static bool starts_with(std::string_view bytes, std::string_view prefix) {
  return bytes.substr(0, prefix.size()) == prefix;
}

// The refusal for compressed data that is not read, or nullptr.
static const char* unread_compression(std::string_view head) {
  if (starts_with(head, "BZh") && head.size() > 3 && head[3] >= '1' &&
      head[3] <= '9') {
    return "bzip2-compressed input is not read; decompress it first";
  }
  if (starts_with(head, std::string_view("\xFD\x37\x7A\x58\x5A\x00", 6))) {
    return "xz-compressed input is not read; decompress it first";
  }
  if (starts_with(head, "\x28\xB5\x2F\xFD")) {
    return "zstd-compressed input is not read; decompress it first";
  }
  return nullptr;
}

// The refusal for a text that a byte order mark says is not UTF-8, or
// nullptr. UTF-32's little-endian mark begins with UTF-16's.
static const char* unread_encoding(std::string_view head) {
  if (starts_with(head, std::string_view("\xFF\xFE\x00\x00", 4)) ||
      starts_with(head, std::string_view("\x00\x00\xFE\xFF", 4))) {
    return "UTF-32 input is not read; convert it to UTF-8 first";
  }
  if (starts_with(head, "\xFF\xFE") || starts_with(head, "\xFE\xFF")) {
    return "UTF-16 input is not read; convert it to UTF-8 first";
  }
  return nullptr;
}

static std::string_view buffered(const input_file* in) {
  return std::string_view(in->text.get() + in->begin, in->end - in->begin);
}

// Reads the first bytes, however few a read returns, and sets up reading
// what they say the input is; an input shorter than a magic is text.
static void recognise(input_file* in) {
  while (in->end < kMagicSize && fill(in)) {
  }
  if (const char* refusal = unread_compression(buffered(in))) {
    refuse(in, refusal);
  }
  if (starts_with(buffered(in), "\x1F\x8B")) start_inflating(in);
  while (in->end < kMarkSize && fill(in)) {
  }
  if (const char* refusal = unread_encoding(buffered(in))) refuse(in, refusal);
  if (starts_with(buffered(in), kUtf8Mark)) in->begin = kUtf8Mark.size();
}

// What read_descriptor_as gives.
static int given_fd = -1;
static std::string given_name;

void read_descriptor_as(int fd, const std::string& name) {
  given_fd = fd;
  given_name = name;
}

input_file* open_input(const std::string& pdb_file) {
  int fd = given_fd >= 0 && pdb_file == given_name
               ? given_fd
               : open(pdb_file.c_str(), O_RDONLY | O_CLOEXEC);
  given_fd = -1;
  if (fd < 0) {
    fputs("No file\n", stderr);
    exit(1);
  }
  std::unique_ptr<input_file> in(new input_file);
  in->fd = fd;
  in->name = pdb_file;
  in->first_text_read = first_text_read_limit;
  in->text_read = text_read_limit;
  recognise(in.get());
  return in.release();
}

// At the end of the input a last line without a line feed is still a line,
// unless reading failed: then it is what a read error or a damaged stream
// cut short, and the run ends without it. Of a line longer than the buffer,
// its start is kept.
static bool last_line(input_file* in, std::string_view& line, bool cut) {
  if (in->failed) die_unreadable(in);
  if (in->begin == in->end) return false;
  line = buffered(in);
  if (cut) line = line.substr(0, kLongLineKept);
  in->begin = in->end;
  return true;
}

// read_line for a line that the buffer does not hold whole. What is searched
// once is not searched again, so a long line costs time in its length, not
// in its square, however few bytes each read brings. A line that fills the
// buffer keeps its start, and the bytes after it are read over and over
// into the same room until its line feed comes. Kept out of read_line, whose
// every call would otherwise save and restore the registers this needs.
[[gnu::noinline]] static bool read_straddling_line(input_file* in,
                                                   std::string_view& line) {
  std::size_t scanned = in->end - in->begin;
  bool cut = false;
  for (;;) {
    if (buffer_full(in)) {
      in->end = scanned = kLongLineKept;
      cut = true;
    }
    if (!fill(in)) break;
    char* start = in->text.get() + in->begin;
    std::size_t size = in->end - in->begin;
    char* feed =
        static_cast<char*>(memchr(start + scanned, '\n', size - scanned));
    if (feed != nullptr) {
      line = std::string_view(start, cut ? kLongLineKept : feed - start);
      in->begin += feed - start + 1;
      return true;
    }
    scanned = size;
  }
  return last_line(in, line, cut);
}

bool read_line(input_file* in, std::string_view& line) {
  char* start = in->text.get() + in->begin;
  char* feed = static_cast<char*>(memchr(start, '\n', in->end - in->begin));
  if (feed == nullptr) return read_straddling_line(in, line);
  line = std::string_view(start, feed - start);
  in->begin += feed - start + 1;
  return true;
}

std::string_view peek_line(input_file* in) {
  std::size_t scanned = 0;
  for (;;) {
    std::string_view text = buffered(in);
    std::size_t feed = text.find('\n', scanned);
    if (feed != std::string_view::npos) return text.substr(0, feed);
    scanned = text.size();
    if (buffer_full(in) || !fill(in)) return buffered(in);
  }
}

bool read_text(input_file* in, std::string_view& text) {
  if (in->begin == in->end && !fill(in)) {
    if (in->failed) die_unreadable(in);
    return false;
  }
  text = buffered(in);
  std::size_t most = in->first_text_read;
  in->first_text_read = in->text_read;
  if (most != 0 && most < text.size()) text = text.substr(0, most);
  in->begin += text.size();
  return true;
}

void limit_text_reads(std::size_t first, std::size_t each) {
  first_text_read_limit = first;
  text_read_limit = each;
}

void fail_if_damaged(input_file* in) {
  if (!in->stream) return;
  do {
    in->begin = in->end;
  } while (fill(in));
  if (in->failed) die_unreadable(in);
}

void close_input(input_file* in) { delete in; }
