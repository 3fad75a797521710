// Writes deterministic, realistic PDB files for benchmarking: models of
// several protein chains with hydrogens under old (1HD2) and new (HD21)
// names, a ligand and waters as HETATM, headers, remarks, TER and CONECT.
//
//   make_pdb file OUT BYTES SEED          one file of about BYTES
//   make_pdb set DIR COUNT MIN MAX SEED   DIR/0000.pdb ... sized MIN..MAX

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

struct residue_type {
  const char* name;
  const char* atoms;  // heavy atoms, then hydrogens, new-style names
};

static const residue_type kResidues[] = {
    {"GLY", "N CA C O H HA2 HA3"},
    {"ALA", "N CA C O CB H HA HB1 HB2 HB3"},
    {"SER", "N CA C O CB OG H HA HB2 HB3 HG"},
    {"CYS", "N CA C O CB SG H HA HB2 HB3 HG"},
    {"VAL", "N CA C O CB CG1 CG2 H HA HB HG11 HG12 HG13 HG21 HG22 HG23"},
    {"THR", "N CA C O CB OG1 CG2 H HA HB HG1 HG21 HG22 HG23"},
    {"LEU",
     "N CA C O CB CG CD1 CD2 H HA HB2 HB3 HG HD11 HD12 HD13 HD21 "
     "HD22 HD23"},
    {"ILE",
     "N CA C O CB CG1 CG2 CD1 H HA HB HG12 HG13 HG21 HG22 HG23 HD11 "
     "HD12 HD13"},
    {"MET", "N CA C O CB CG SD CE H HA HB2 HB3 HG2 HG3 HE1 HE2 HE3"},
    {"PRO", "N CA C O CB CG CD HA HB2 HB3 HG2 HG3 HD2 HD3"},
    {"PHE",
     "N CA C O CB CG CD1 CD2 CE1 CE2 CZ H HA HB2 HB3 HD1 HD2 HE1 HE2 "
     "HZ"},
    {"TYR",
     "N CA C O CB CG CD1 CD2 CE1 CE2 CZ OH H HA HB2 HB3 HD1 HD2 HE1 "
     "HE2 HH"},
    {"TRP",
     "N CA C O CB CG CD1 CD2 NE1 CE2 CE3 CZ2 CZ3 CH2 H HA HB2 HB3 HD1 "
     "HE1 HE3 HZ2 HZ3 HH2"},
    {"ASP", "N CA C O CB CG OD1 OD2 H HA HB2 HB3"},
    {"GLU", "N CA C O CB CG CD OE1 OE2 H HA HB2 HB3 HG2 HG3"},
    {"ASN", "N CA C O CB CG OD1 ND2 H HA HB2 HB3 HD21 HD22"},
    {"GLN", "N CA C O CB CG CD OE1 NE2 H HA HB2 HB3 HG2 HG3 HE21 HE22"},
    {"LYS",
     "N CA C O CB CG CD CE NZ H HA HB2 HB3 HG2 HG3 HD2 HD3 HE2 HE3 "
     "HZ1 HZ2 HZ3"},
    {"ARG",
     "N CA C O CB CG CD NE CZ NH1 NH2 H HA HB2 HB3 HG2 HG3 HD2 HD3 HE "
     "HH11 HH12 HH21 HH22"},
    {"HIS", "N CA C O CB CG ND1 CD2 CE1 NE2 H HA HB2 HB3 HD1 HD2 HE1 HE2"},
};

static const char kLigand[] =
    "C1 C2 C3 C4 C5 C6 N1 N3 N6 N7 N9 C8 O1 O2 O3 O4 P1 P2 O5 O6 H1 H2 H8";

static std::vector<std::string> words(const char* text) {
  std::vector<std::string> out;
  std::string word;
  for (const char* p = text;; ++p) {
    if (*p == ' ' || *p == '\0') {
      if (!word.empty()) out.push_back(word);
      word.clear();
      if (*p == '\0') return out;
    } else {
      word += *p;
    }
  }
}

// Older files put a hydrogen's trailing digit first: HD21 -> 1HD2, HB2 -> 2HB.
static std::string old_style(const std::string& name) {
  if (name.size() < 2 || name[0] != 'H') return name;
  char last = name.back();
  if (last < '0' || last > '9') return name;
  return last + name.substr(0, name.size() - 1);
}

// A four-character name, or one that starts with a digit, starts in column
// 13; the others start in column 14.
static std::string name_field(const std::string& name) {
  std::string field = (name.size() == 4 || (name[0] >= '0' && name[0] <= '9'))
                          ? name
                          : " " + name;
  field.resize(4, ' ');
  return field;
}

class writer {
 public:
  writer(FILE* out, uint32_t seed) : out_(out), random_(seed) {}

  long bytes() const { return bytes_; }

  void header(int model_count) {
    line("HEADER    SYNTHETIC PROTEIN                        07-DEC-26   9ZZZ");
    line("TITLE     GENERATED STRUCTURE FOR CONVERSION BENCHMARKS");
    line("COMPND    MOL_ID: 1; MOLECULE: SYNTHETIC PROTEIN; CHAIN: A, B, C, D");
    line("SOURCE    MOL_ID: 1; SYNTHETIC: YES");
    if (model_count > 0) {
      line("EXPDTA    SOLUTION NMR");
      printf_line("NUMMDL    %-4d", model_count);
    } else {
      line("EXPDTA    X-RAY DIFFRACTION");
    }
    line("AUTHOR    BENCHMARK GENERATOR");
    for (int i = 0; i < 12; ++i) {
      printf_line(
          "REMARK 500 %3d GENERATED REMARK LINE OF TYPICAL LENGTH "
          "FOR A HEADER",
          i);
    }
    line(
        "CRYST1    1.000    1.000    1.000  90.00  90.00  90.00 P 1           "
        "1");
  }

  // One model: chains of residues, then a ligand and waters.
  void model(int number, int residue_count, int water_count) {
    if (number > 0) printf_line("MODEL     %4d", number);
    serial_ = 1;
    const char chains[] = "ABCD";
    int per_chain = residue_count / 4 + 1;
    for (int c = 0; c < 4; ++c) chain(chains[c], per_chain);
    ligand();
    for (int i = 0; i < water_count; ++i) water(i + 1);
    if (number > 0) line("ENDMDL");
  }

  void end() {
    for (int i = 1; i + 3 < 24 && i < serial_; i += 4) {
      printf_line("CONECT%5d%5d%5d", i, i + 1, i + 2);
    }
    line("END");
  }

 private:
  void line(const char* text) { bytes_ += fprintf(out_, "%s\n", text); }

  template <typename... Args>
  void printf_line(const char* format, Args... args) {
    char buffer[128];
    snprintf(buffer, sizeof buffer, format, args...);
    line(buffer);
  }

  double uniform(double low, double high) {
    return low + (high - low) * (random_() / 4294967296.0);
  }

  void step() {
    x_ += uniform(-1.5, 1.5);
    y_ += uniform(-1.5, 1.5);
    z_ += uniform(-1.5, 1.5);
    // Keep the walk inside a box, as real coordinates are.
    if (std::fabs(x_) > 90) x_ *= 0.5;
    if (std::fabs(y_) > 90) y_ *= 0.5;
    if (std::fabs(z_) > 90) z_ *= 0.5;
  }

  void record(const char* kind, const std::string& name, char altloc,
              const char* residue, char chain, int residue_number) {
    step();
    char element[3] = {name[0] >= '0' && name[0] <= '9' ? name[1] : name[0]};
    bytes_ += fprintf(
        out_,
        "%-6s%5d %s%c%3s %c%4d    %8.3f%8.3f%8.3f%6.2f%6.2f          %2s  \n",
        kind, serial_ % 100000, name_field(name).c_str(), altloc, residue,
        chain, residue_number % 10000, x_, y_, z_, altloc == ' ' ? 1.0 : 0.5,
        uniform(5, 80), element);
    ++serial_;
  }

  void chain(char id, int residue_count) {
    bool old_names = random_() % 2 == 0;
    int number = 0;
    for (int i = 0; i < residue_count; ++i) {
      const residue_type& type =
          kResidues[random_() % (sizeof kResidues / sizeof kResidues[0])];
      ++number;
      // One residue in fifty has two alternate locations.
      bool alternates = random_() % 50 == 0;
      for (char altloc : alternates ? std::string("AB") : std::string(" ")) {
        for (const std::string& atom_name : words(type.atoms)) {
          std::string name = old_names ? old_style(atom_name) : atom_name;
          record("ATOM", name, altloc, type.name, id, number);
        }
      }
    }
    bytes_ += fprintf(out_, "TER   %5d      %3s %c%4d\n", serial_ % 100000,
                      "LYS", id, number);
    ++serial_;
  }

  void ligand() {
    for (const std::string& name : words(kLigand)) {
      record("HETATM", name, ' ', "ATP", 'A', 901);
    }
  }

  void water(int number) {
    bool old_names = random_() % 2 == 0;
    record("HETATM", "O", ' ', "HOH", 'W', number);
    record("HETATM", old_names ? "1H" : "H1", ' ', "HOH", 'W', number);
    record("HETATM", old_names ? "2H" : "H2", ' ', "HOH", 'W', number);
  }

  FILE* out_;
  std::mt19937 random_;
  long bytes_ = 0;
  int serial_ = 1;
  double x_ = 10, y_ = -5, z_ = 20;
};

// A protein of about the size that fits bytes, as one structure or, for
// large sizes, as many models of one.
static void write_file(const std::string& path, long bytes, uint32_t seed) {
  FILE* out = fopen(path.c_str(), "w");
  if (out == nullptr) {
    perror(path.c_str());
    exit(1);
  }
  writer w(out, seed);
  // About 1,200 residues and 300 waters make 1.5 MB.
  const long model_bytes = 1500000;
  int models = bytes > 2 * model_bytes ? int(bytes / model_bytes) : 0;
  w.header(models);
  if (models == 0) {
    int residues = int(bytes / 1500);
    w.model(0, residues, residues / 4);
  } else {
    for (int m = 1; w.bytes() < bytes - model_bytes / 2; ++m) {
      w.model(m, 1200, 300);
    }
  }
  w.end();
  if (fclose(out) != 0) {
    perror(path.c_str());
    exit(1);
  }
}

int main(int argc, char* argv[]) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "file" && argc == 5) {
    write_file(argv[2], atol(argv[3]), uint32_t(atol(argv[4])));
  } else if (mode == "set" && argc == 7) {
    int count = atoi(argv[3]);
    long low = atol(argv[4]), high = atol(argv[5]);
    std::mt19937 sizes(uint32_t(atol(argv[6])));
    for (int i = 0; i < count; ++i) {
      char name[32];
      snprintf(name, sizeof name, "/%04d.pdb", i);
      long bytes = low + long(sizes() % uint32_t(high - low + 1));
      write_file(argv[2] + std::string(name), bytes, sizes());
    }
  } else {
    fputs(
        "usage: make_pdb file OUT BYTES SEED\n"
        "       make_pdb set DIR COUNT MIN_BYTES MAX_BYTES SEED\n",
        stderr);
    return 2;
  }
  return 0;
}
