// libFuzzer target: the reader and writer on three kinds of input, which the
// first byte chooses, by way of real files, since the functions take paths.
// Each input goes through read_protein and write_pdb, and through
// convert_pdb, whose own conversion of the text must give the bytes that
// write_pdb's templates print.
//  - A first byte below 0xF0 is the first of a PDB text.
//  - From 0xF0, the bytes after it draw a small structure that is written
//    both as an mmCIF file, in syntax variants and an order of categories
//    the bytes choose, and as the PDB records the archive writes for its
//    _atom_site rows (mmcif_case.h): the two must read as the same atoms and
//    convert to the same bytes, with the mmCIF text's reads ending where the
//    bytes say.
//  - From 0xFC, the bytes after it are the text of an mmCIF file after its
//    data_ line, which must convert alike whatever falls where a read ends.
// Every input's bytes, 64 at a time, are also classified by the mmCIF
// scanner's vector instructions and by its plain loop, which must agree.
// The first byte also chooses whether the file holds the text as it is,
// gzipped, or gzipped in two members.
//
// Both functions end the process on a failure, and libFuzzer counts that as
// a crash, so every input is one the program converts. A PDB text is first
// cut down to lines the program converts: a coordinate record shorter than
// 46 bytes, which stops the run, is dropped, a text whose first byte could
// begin a magic that the reader tells formats by starts with a line feed
// instead, and one that the reader would take for mmCIF with a REMARK. A drawn
// mmCIF file holds only rows that fit the PDB columns where they are written.
// Raw mmCIF text is first read in a child process, which may end refusing it,
// but not with a sanitizer report, a signal or a hang; only text that the child
// read is converted here, where libFuzzer sees its coverage.

#include <isa-l/igzip_lib.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "atom.h"
#include "cif_scanner.h"
#include "cif_windows.h"
#include "input_file.h"
#include "mmcif_case.h"
#include "pdb_files.h"

static std::string temp_path(const char* suffix) {
  return (std::filesystem::temp_directory_path() /
          ("pdb_convert_fuzz." + std::to_string(getpid()) + suffix))
      .string();
}

static const std::string kInput = temp_path(".in");
static const std::string kRecords = temp_path(".records");
static const std::string kOutput = temp_path(".out");
static const std::string kConverted = temp_path(".converted");

static void remove_temp_files() {
  std::remove(kInput.c_str());
  std::remove(kRecords.c_str());
  std::remove(kOutput.c_str());
  std::remove(kConverted.c_str());
}

static std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)),
                     std::istreambuf_iterator<char>());
}

// The message goes where the sanitizers report: to standard error, or where
// libFuzzer keeps its own output once -close_fd_mask=2 has closed it.
static void check(bool holds, const char* what) {
  if (holds) return;
  std::string message = std::string("pdb_convert_fuzz: ") + what;
  __sanitizer_report_error_summary(message.c_str());
  abort();
}

static bool starts_with(const std::string& text, std::string::size_type from,
                        const char* prefix) {
  return text.compare(from, std::char_traits<char>::length(prefix), prefix) ==
         0;
}

static const std::string kUtf8Mark = "\xEF\xBB\xBF";

// Whether c can begin what the reader does not take as the first line: the
// magic of a compressed format, a byte order mark.
static bool begins_magic(char c) {
  return std::string_view("B\x1F\x28\xFD\xEF\xFE\xFF\x00", 8).find(c) !=
         std::string_view::npos;
}

static bool starts_with_any_case(const std::string& text,
                                 std::string::size_type from,
                                 const char* prefix) {
  for (; *prefix != '\0'; ++prefix, ++from) {
    if (from == text.size() ||
        tolower(static_cast<unsigned char>(text[from])) != *prefix) {
      return false;
    }
  }
  return true;
}

// Whether the reader takes text for mmCIF: its first line that is neither
// blank nor a # comment begins with data_, loop_ or _.
static bool reads_as_mmcif(const std::string& text) {
  for (std::string::size_type start = 0; start < text.size();) {
    std::string::size_type end = std::min(text.find('\n', start), text.size());
    std::string::size_type first = text.find_first_not_of(" \t\r", start);
    if (first < end && text[first] != '#') {
      return starts_with_any_case(text, first, "data_") ||
             starts_with_any_case(text, first, "loop_") || text[first] == '_';
    }
    start = end + 1;
  }
  return false;
}

// text as one gzip member, made by ISA-L's deflater.
static std::string gzipped(const std::string& text) {
  auto stream = std::make_unique<isal_zstream>();
  isal_deflate_stateless_init(stream.get());
  stream->gzip_flag = IGZIP_GZIP;
  stream->end_of_stream = 1;
  std::string out(2 * text.size() + 1024, '\0');
  stream->next_in = reinterpret_cast<uint8_t*>(const_cast<char*>(text.data()));
  stream->avail_in = text.size();
  stream->next_out = reinterpret_cast<uint8_t*>(&out[0]);
  stream->avail_out = out.size();
  check(isal_deflate_stateless(stream.get()) == COMP_OK, "the text deflates");
  out.resize(stream->total_out);
  return out;
}

// The file that holds text: the text itself (format 0), one gzip member of
// it (1), or two, split in the middle (2).
static std::string file_holding(const std::string& text, int format) {
  if (format == 0) return text;
  if (format == 1) return gzipped(text);
  std::string::size_type half = text.size() / 2;
  return gzipped(text.substr(0, half)) + gzipped(text.substr(half));
}

static void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Reads input into atoms and writes them with write_pdb, converts it with
// convert_pdb, and returns what both wrote.
static std::string converted(const std::string& input,
                             std::vector<atom>& atoms) {
  read_protein(input, atoms);
  write_pdb(kOutput, atoms);
  std::string out = contents(kOutput);
  convert_pdb(input, kConverted);
  check(contents(kConverted) == out, "convert_pdb writes what write_pdb does");
  return out;
}

static void check_lines(const std::string& out, size_t atom_records) {
  size_t lines = 0;
  for (std::string::size_type start = 0; start < out.size(); ++lines) {
    std::string::size_type end = out.find('\n', start);
    check(end != std::string::npos, "every output line ends in a line feed");
    check(starts_with(out, start, "ATOM  "), "every output line is an ATOM");
    // Fields are printed at their full widths or wider, NUL bytes or not.
    check(end - start >= 54, "every output line reaches column 54");
    start = end + 1;
  }
  check(lines == atom_records, "one output line per ATOM record");
}

static size_t atom_records(const std::vector<atom>& atoms) {
  size_t n = 0;
  for (const atom& a : atoms) n += a.record_type == kAtomRecord;
  return n;
}

static void check_pdb_text(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  // The reader skips a UTF-8 byte order mark at the start of the text.
  std::string mark;
  if (starts_with(bytes, 0, kUtf8Mark.c_str())) {
    mark = kUtf8Mark;
    bytes.erase(0, mark.size());
  }
  std::string kept;
  size_t records = 0;
  for (std::string::size_type start = 0; start < bytes.size();) {
    std::string::size_type end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(start, end - start);
    bool is_record =
        starts_with(line, 0, "ATOM") || starts_with(line, 0, "HETATM");
    if (!is_record || line.size() >= 46) {
      kept.append(bytes, start, end + 1 - start);  // with its line feed
      records += is_record;
    }
    start = end + 1;
  }
  if (!kept.empty() && begins_magic(kept[0])) kept.insert(0, "\n");
  if (reads_as_mmcif(kept)) kept.insert(0, "REMARK\n");
  int format = size > 0 ? data[0] % 3 : 0;
  write_file(kInput, file_holding(mark + kept, format));

  std::vector<atom> atoms;
  std::string out = converted(kInput, atoms);
  check(atoms.size() == records, "one atom per coordinate record");
  check_lines(out, atom_records(atoms));
}

static void check_same_atoms(const std::vector<atom>& got,
                             const std::vector<atom>& want,
                             const std::vector<bool>& exact) {
  check(got.size() == want.size(),
        "one atom per _atom_site row of the first data block");
  for (size_t i = 0; i < got.size(); ++i) {
    check(got[i].record_type == want[i].record_type,
          "a row's record type is the archive's");
    check(got[i].serial == want[i].serial, "a row's serial is the archive's");
    if (!exact[i]) continue;
    check(got[i].name == want[i].name,
          "a row's atom name (and alternate location) is placed as the "
          "archive places it");
    check(got[i].residue_name == want[i].residue_name,
          "a row's residue name is the archive's");
    check(got[i].chain == want[i].chain, "a row's chain is the archive's");
    check(got[i].residue_number == want[i].residue_number,
          "a row's residue number is the archive's");
    check(got[i].coords == want[i].coords,
          "a row's coordinates are the archive's");
  }
}

static void check_mmcif_case(const uint8_t* data, size_t size, int format) {
  choices c = {data, data + size};
  mmcif_case drawn = draw_mmcif_case(c);
  // To see the files that an input makes, when it is run on its own.
  if (getenv("PDB_CONVERT_FUZZ_SHOW") != nullptr) {
    printf("%s\n----\n%s", drawn.mmcif.c_str(), drawn.pdb.c_str());
    fflush(stdout);
  }
  write_file(kInput, file_holding(drawn.mmcif, format));
  write_file(kRecords, drawn.pdb);

  std::vector<atom> want;
  std::string want_out = converted(kRecords, want);
  std::vector<atom> got;
  limit_text_reads(drawn.first_read, drawn.each_read);
  std::string got_out = converted(kInput, got);
  limit_text_reads(0, 0);
  check_same_atoms(got, want, drawn.exact);
  check(got_out == want_out,
        "the mmCIF file converts as the PDB records of its rows");
}

// A child ended by the program's exit(1) exits with this status instead, so
// that a sanitizer's report, whose status is 1 unless set otherwise, is
// told from it.
static const int kRefusedStatus = 99;
static bool in_child = false;

// An exit handler registered after libFuzzer's, which would count the exit
// as a crash, and so run before it.
static void end_child() {
  if (in_child) _exit(kRefusedStatus);
}

// read_protein of kInput in a child process, alarmed against a hang; returns
// the child's wait status, or -1 where it could not be had.
static int status_of_reading() {
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    in_child = true;
    signal(SIGALRM, SIG_DFL);
    alarm(20);
    std::vector<atom> atoms;
    read_protein(kInput, atoms);
    _exit(0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

// The children are forked by a helper, itself forked at the first input
// while this process is small: a fork takes time in proportion to the
// memory of the process forked, and ASan's quarantine grows this one to
// hundreds of megabytes. The helper reads a byte for each child to fork,
// writes back its wait status, and ends when this process does.
struct helper {
  int requests;
  int replies;
};

[[noreturn]] static void serve(int requests, int replies) {
  in_child = true;
  // The sanitizers would write a forked process's report to a file named
  // after its pid in the working directory, which run.sh runs in: standard
  // error instead, which -close_fd_mask=2 discards.
  __sanitizer_set_report_fd(reinterpret_cast<void*>(2));
  char request;
  while (read(requests, &request, 1) == 1) {
    int status = status_of_reading();
    if (write(replies, &status, sizeof status) != sizeof status) break;
  }
  _exit(0);
}

static helper start_helper() {
  int requests[2];
  int replies[2];
  check(pipe(requests) == 0 && pipe(replies) == 0, "pipes to the helper open");
  pid_t pid = fork();
  check(pid >= 0, "the helper process starts");
  if (pid == 0) {
    close(requests[1]);
    close(replies[0]);
    serve(requests[0], replies[1]);
  }
  close(requests[0]);
  close(replies[1]);
  return {requests[1], replies[0]};
}

// Whether read_protein reads kInput, tried in a child process, which must
// end in success or in the program's refusal.
static bool reads_in_child(const helper& h) {
  int status = -1;
  ssize_t n;
  while ((n = write(h.requests, "r", 1)) < 0 && errno == EINTR) {
  }
  check(n == 1, "the helper takes the request");
  while ((n = read(h.replies, &status, sizeof status)) < 0 && errno == EINTR) {
  }
  check(n == sizeof status, "the helper replies");
  check(status != -1 && WIFEXITED(status) &&
            (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == kRefusedStatus),
        "reading the mmCIF text ends in success or refusal (run the input "
        "without -close_fd_mask to see the report)");
  return WEXITSTATUS(status) == 0;
}

static void check_raw_mmcif(const uint8_t* data, size_t size, int format,
                            const helper& h) {
  std::string text = "data_fuzz\n";
  text.append(reinterpret_cast<const char*>(data), size);
  write_file(kInput, file_holding(text, format));
  if (!reads_in_child(h)) return;
  std::vector<atom> atoms;
  std::string out = converted(kInput, atoms);
  check_lines(out, atom_records(atoms));
  // Read again, its reads ending at a byte the text chooses, then every few.
  std::size_t sum = 0;
  for (char c : text) sum += static_cast<unsigned char>(c);
  limit_text_reads(sum % (text.size() + 1), sum % 3 == 0 ? 0 : 1 + sum % 67);
  std::vector<atom> again;
  std::string out_again = converted(kInput, again);
  limit_text_reads(0, 0);
  check(out_again == out, "raw mmCIF converts alike wherever its reads end");
  // And with its loop rows read a word at a time, never whole.
  read_rows_whole(false);
  std::vector<atom> words;
  std::string out_words = converted(kInput, words);
  read_rows_whole(true);
  check(out_words == out, "raw mmCIF converts alike read word by word");
}

// The classes of the input's bytes, 64 at a time from each of its first
// 64 offsets and then every 61st, by the vector instructions and by the
// plain loop.
static void check_classes(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  for (size_t i = 0; i + 64 <= size; i += i < 64 ? 1 : 61) {
    cif_masks fast = classified(bytes + i);
    cif_masks plain = classified_plainly(bytes + i);
    check(fast.blanks == plain.blanks && fast.feeds == plain.feeds &&
              fast.controls == plain.controls && fast.marked == plain.marked,
          "the scanner's vector classes are its plain loop's");
  }
  for (size_t i = 0; i + 16 <= size; i += i < 64 ? 1 : 59) {
    int chunks = static_cast<int>(std::min<size_t>(8, (size - i) / 16));
    cif_row_masks fast = classified_row(bytes + i, chunks);
    cif_row_masks plain = classified_row_plainly(bytes + i, chunks);
    check(memcmp(&fast, &plain, sizeof fast) == 0,
          "the scanner's vector classes of a row are its plain loop's");
  }
}

// The first byte from which the bytes are drawn into an mmCIF case, and the
// first from which they are raw mmCIF text.
static const uint8_t kMmcifCase = 0xF0;
static const uint8_t kRawMmcif = 0xFC;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int kCleanup = atexit(remove_temp_files);
  static const int kChildEnd = atexit(end_child);
  static const helper kHelper = start_helper();
  (void)kCleanup;
  (void)kChildEnd;

  check_classes(data, size);
  if (size == 0 || data[0] < kMmcifCase) {
    check_pdb_text(data, size);
  } else if (data[0] < kRawMmcif) {
    check_mmcif_case(data + 1, size - 1, (data[0] - kMmcifCase) % 3);
  } else {
    check_raw_mmcif(data + 1, size - 1, (data[0] - kRawMmcif) % 3, kHelper);
  }
  return 0;
}
