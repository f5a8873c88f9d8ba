// bench_gen.cpp - writes the benchmark data sets, the same bytes on every run.
//
//   bench_gen mixed DIR SEED TOTAL_BYTES
//       A few hundred files of varied kinds and sizes, TOTAL_BYTES in all
//       (within a few KiB): text, binaries (tables, code-like bytes, runs of
//       zeros, strings), gzip files and random bytes; some empty or tiny,
//       ten of them tens of MiB.  Nested folders.
//   bench_gen random DIR SEED COUNT SIZE
//       COUNT files of SIZE random bytes each.
//
// DIR must not exist yet.  A summary goes to standard output.  The output
// depends only on the arguments and kGeneratorVersion, which run_bench.sh
// keeps in its stamp files: change it whenever the bytes written change.

#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int kGeneratorVersion = 1;

// xoshiro256** seeded through splitmix64.
class Rng {
public:
    explicit Rng(uint64_t seed) {
        for (uint64_t& word : s_) {
            seed += 0x9E3779B97F4A7C15ull;
            uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            word = z ^ (z >> 31);
        }
    }
    uint64_t Next() {
        const uint64_t result = Rotl(s_[1] * 5, 7) * 9;
        const uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = Rotl(s_[3], 45);
        return result;
    }
    // Uniform in [0, n).
    uint64_t Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }
    // Uniform in [lo, hi].
    uint64_t Range(uint64_t lo, uint64_t hi) { return lo + Below(hi - lo + 1); }
    double Unit() { return double(Next() >> 11) / double(uint64_t(1) << 53); }

private:
    static uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t s_[4];
};

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "bench_gen: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

void MakeFolders(const std::string& path) {
    for (size_t i = 1; i <= path.size(); i++) {
        if (i == path.size() || path[i] == '/') {
            const std::string part = path.substr(0, i);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) Fail("mkdir " + part);
        }
    }
}

// Buffered output of one file.
class Output {
public:
    explicit Output(const std::string& path) : path_(path) {
        const size_t slash = path.rfind('/');
        if (slash != std::string::npos) MakeFolders(path.substr(0, slash));
        file_ = std::fopen(path.c_str(), "wb");
        if (file_ == nullptr) Fail("create " + path);
        std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
    }
    ~Output() {
        if (std::fclose(file_) != 0) Fail("close " + path_);
    }
    void Write(const void* data, size_t size) {
        if (size > 0 && std::fwrite(data, 1, size, file_) != size) Fail("write " + path_);
        written_ += size;
    }
    uint64_t Written() const { return written_; }

private:
    std::string path_;
    std::FILE* file_ = nullptr;
    uint64_t written_ = 0;
};

//-----------------------------------------------------------------------------
// Content kinds.  Each fills BUF with exactly SIZE bytes.

// A vocabulary of pseudo words; frequent words are short and picked often.
class Vocabulary {
public:
    explicit Vocabulary(Rng* rng) {
        static const char* const kSyllables[] = {"ka",  "to",   "ri",  "ne",  "sa",  "mo",  "lu",  "de",
                                                 "vi",  "ga",   "ho",  "pe",  "shi", "tra", "ber", "lin",
                                                 "qua", "ston", "fel", "mar", "or",  "en",  "ith", "ur"};
        const size_t count = sizeof kSyllables / sizeof kSyllables[0];
        for (int i = 0; i < 4096; i++) {
            const int parts = 1 + int(rng->Below(1 + i / 600));
            std::string word;
            for (int p = 0; p < parts; p++) word += kSyllables[rng->Below(count)];
            words_.push_back(word);
        }
    }
    // Roughly Zipf-like: the smaller of three uniform draws.
    const std::string& Pick(Rng* rng) const {
        uint64_t i = rng->Below(words_.size());
        i = std::min(i, rng->Below(words_.size()));
        i = std::min(i, rng->Below(words_.size()));
        return words_[i];
    }

private:
    std::vector<std::string> words_;
};

void FillText(Rng* rng, const Vocabulary& words, std::vector<uint8_t>* buf, size_t size) {
    buf->clear();
    size_t column = 0;
    bool capital = true;
    while (buf->size() < size) {
        std::string word = words.Pick(rng);
        if (capital) word[0] = char(word[0] - 'a' + 'A');
        capital = false;
        if (rng->Below(23) == 0) word = std::to_string(rng->Below(100000));
        buf->insert(buf->end(), word.begin(), word.end());
        column += word.size() + 1;
        const uint64_t r = rng->Below(16);
        if (r == 0) {
            buf->push_back('.');
            capital = true;
        } else if (r == 1) {
            buf->push_back(',');
        }
        if (column > 72) {
            buf->push_back('\n');
            if (rng->Below(8) == 0) buf->push_back('\n');
            column = 0;
        } else {
            buf->push_back(' ');
        }
    }
    buf->resize(size);
}

// Code-like bytes: tables of slowly rising numbers, a small alphabet of
// "instructions", zero padding, embedded strings.
void FillBinary(Rng* rng, const Vocabulary& words, std::vector<uint8_t>* buf, size_t size) {
    buf->clear();
    static const uint8_t kOps[] = {0x48, 0x89, 0x8B, 0xE8, 0xC3, 0x0F, 0x85, 0x84, 0x74, 0x75,
                                   0x83, 0xC4, 0xEC, 0x55, 0x5D, 0x31, 0xC0, 0xFF, 0x90, 0x24};
    while (buf->size() < size) {
        const uint64_t kind = rng->Below(10);
        const size_t length = size_t(rng->Range(16, 4096));
        if (kind < 4) {  // instructions with random operands now and then
            for (size_t i = 0; i < length; i++)
                buf->push_back(rng->Below(5) == 0 ? uint8_t(rng->Next()) : kOps[rng->Below(sizeof kOps)]);
        } else if (kind < 6) {  // table of 32-bit values rising by small steps
            uint32_t value = uint32_t(rng->Below(1u << 24));
            for (size_t i = 0; i < length / 4; i++) {
                value += uint32_t(rng->Below(64));
                for (int b = 0; b < 4; b++) buf->push_back(uint8_t(value >> (8 * b)));
            }
        } else if (kind < 7) {  // padding
            buf->insert(buf->end(), length, 0);
        } else if (kind < 8) {  // strings
            for (size_t n = 0; n < length / 12; n++) {
                const std::string& word = words.Pick(rng);
                buf->insert(buf->end(), word.begin(), word.end());
                buf->push_back(0);
            }
        } else {  // float-ish data
            for (size_t i = 0; i < length / 4; i++) {
                const float f = float(rng->Unit() * 100.0);
                uint32_t bits;
                std::memcpy(&bits, &f, 4);
                bits &= 0xFFFFF000u;  // fewer significant bits, as stored meshes have
                for (int b = 0; b < 4; b++) buf->push_back(uint8_t(bits >> (8 * b)));
            }
        }
    }
    buf->resize(size);
}

void FillRandom(Rng* rng, std::vector<uint8_t>* buf, size_t size) {
    buf->resize((size + 7) / 8 * 8);
    for (size_t i = 0; i < buf->size(); i += 8) {
        const uint64_t word = rng->Next();
        std::memcpy(buf->data() + i, &word, 8);
    }
    buf->resize(size);
}

//-----------------------------------------------------------------------------

struct Totals {
    uint64_t files = 0, bytes = 0;
};

const size_t kChunk = 1 << 20;

void WriteKind(int kind, Rng* rng, const Vocabulary& words, Output* out, uint64_t size) {
    std::vector<uint8_t> buf;
    if (kind == 2) {
        // A gzip stream of generated text, ending once about SIZE bytes are out.
        z_stream z;
        std::memset(&z, 0, sizeof z);
        if (deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) Fail("deflateInit2");
        std::vector<uint8_t> packed(kChunk);
        const uint64_t stopAt = size > 64 ? size - 64 : 0;
        while (out->Written() < stopAt) {
            if (rng->Below(2) == 0)
                FillText(rng, words, &buf, 64 * 1024);
            else
                FillBinary(rng, words, &buf, 64 * 1024);
            z.next_in = buf.data();
            z.avail_in = uInt(buf.size());
            do {
                z.next_out = packed.data();
                z.avail_out = uInt(packed.size());
                if (deflate(&z, Z_NO_FLUSH) == Z_STREAM_ERROR) Fail("deflate");
                out->Write(packed.data(), packed.size() - z.avail_out);
            } while (z.avail_in > 0 || z.avail_out == 0);
        }
        int rc;
        do {
            z.next_out = packed.data();
            z.avail_out = uInt(packed.size());
            rc = deflate(&z, Z_FINISH);
            if (rc == Z_STREAM_ERROR) Fail("deflate");
            out->Write(packed.data(), packed.size() - z.avail_out);
        } while (rc != Z_STREAM_END);
        deflateEnd(&z);
        return;
    }
    uint64_t left = size;
    while (left > 0) {
        const size_t part = size_t(std::min<uint64_t>(left, kChunk));
        if (kind == 0)
            FillText(rng, words, &buf, part);
        else if (kind == 1)
            FillBinary(rng, words, &buf, part);
        else
            FillRandom(rng, &buf, part);
        out->Write(buf.data(), buf.size());
        left -= part;
    }
}

int Mixed(const std::string& dir, uint64_t seed, uint64_t total) {
    Rng rng(seed);
    const Vocabulary words(&rng);
    static const char* const kKindNames[] = {"text", "binary", "gzip", "random"};
    static const char* const kExtensions[] = {".txt", ".bin", ".gz", ".dat"};
    static const char* const kFolders[] = {"maps", "sound", "ui", "scripts", "models", "locale"};

    // Sizes: 60 empty or tiny, 200 log-uniform 1 KiB..4 MiB, 40 of 4..16 MiB,
    // then ten large files share what is left of TOTAL.
    std::vector<uint64_t> sizes;
    for (int i = 0; i < 60; i++) sizes.push_back(rng.Below(1025));
    for (int i = 0; i < 200; i++)
        sizes.push_back(uint64_t(std::exp(std::log(1024.0) + rng.Unit() * std::log(4096.0))));
    for (int i = 0; i < 40; i++) sizes.push_back(rng.Range(4 << 20, 16 << 20));
    uint64_t used = 0;
    for (uint64_t size : sizes) used += size;
    const int kLarge = 10;
    if (total < used + kLarge * uint64_t(8 << 20)) {
        std::fprintf(stderr, "bench_gen: TOTAL too small for the mixed set (at least %llu)\n",
                     (unsigned long long)(used + kLarge * uint64_t(8 << 20)));
        return 2;
    }
    std::vector<double> weights;
    double weightSum = 0;
    for (int i = 0; i < kLarge; i++) {
        weights.push_back(1.0 + rng.Unit() * 2.5);
        weightSum += weights.back();
    }
    uint64_t left = total - used;
    for (int i = 0; i < kLarge; i++) {
        const uint64_t size =
            i + 1 == kLarge ? left : uint64_t(double(total - used) * weights[i] / weightSum);
        sizes.push_back(size);
        left -= size;
    }

    // Shuffle so that kinds, sizes and folders mix.
    for (size_t i = sizes.size(); i > 1; i--) std::swap(sizes[i - 1], sizes[rng.Below(i)]);

    Totals byKind[4];
    Totals all;
    for (size_t i = 0; i < sizes.size(); i++) {
        // Kind weights: text 35%, binary 30%, gzip 15%, random 20%.
        const uint64_t r = rng.Below(100);
        const int kind = r < 35 ? 0 : r < 65 ? 1 : r < 80 ? 2 : 3;
        std::string path = dir + "/" + kFolders[rng.Below(6)];
        const uint64_t depth = rng.Below(3);
        for (uint64_t d = 0; d < depth; d++) path += "/part" + std::to_string(rng.Below(5));
        char name[64];
        std::snprintf(name, sizeof name, "/%s_%04zu%s", kKindNames[kind], i, kExtensions[kind]);
        path += name;
        Output out(path);
        WriteKind(kind, &rng, words, &out, sizes[i]);
        byKind[kind].files++;
        byKind[kind].bytes += out.Written();
        all.files++;
        all.bytes += out.Written();
    }
    std::printf("mixed set (generator version %d, seed %llu): %llu files, %llu bytes\n", kGeneratorVersion,
                (unsigned long long)seed, (unsigned long long)all.files, (unsigned long long)all.bytes);
    for (int k = 0; k < 4; k++)
        std::printf("  %-7s %4llu files %12llu bytes\n", kKindNames[k], (unsigned long long)byKind[k].files,
                    (unsigned long long)byKind[k].bytes);
    const uint64_t largest = *std::max_element(sizes.begin(), sizes.end());
    const uint64_t tiny =
        uint64_t(std::count_if(sizes.begin(), sizes.end(), [](uint64_t s) { return s <= 1024; }));
    std::printf("  %llu files of at most 1 KiB, the largest %llu bytes\n", (unsigned long long)tiny,
                (unsigned long long)largest);
    return 0;
}

int Random(const std::string& dir, uint64_t seed, uint64_t count, uint64_t size) {
    Rng rng(seed);
    const Vocabulary words(&rng);
    for (uint64_t i = 0; i < count; i++) {
        char name[64];
        std::snprintf(name, sizeof name, "/random_%03llu.dat", (unsigned long long)i);
        Output out(dir + name);
        WriteKind(3, &rng, words, &out, size);
    }
    std::printf("random set (generator version %d, seed %llu): %llu files of %llu bytes\n", kGeneratorVersion,
                (unsigned long long)seed, (unsigned long long)count, (unsigned long long)size);
    return 0;
}

bool Number(const char* text, uint64_t* value) {
    char* end = nullptr;
    errno = 0;
    *value = std::strtoull(text, &end, 10);
    return errno == 0 && end != text && *end == 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: bench_gen mixed DIR SEED TOTAL_BYTES\n"
                 "       bench_gen random DIR SEED COUNT SIZE\n"
                 "       bench_gen version\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "version") == 0) {
        std::printf("%d\n", kGeneratorVersion);
        return 0;
    }
    if (argc < 4) return Usage();
    const std::string mode = argv[1], dir = argv[2];
    uint64_t seed = 0, a = 0, b = 0;
    if (!Number(argv[3], &seed)) return Usage();
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        std::fprintf(stderr, "bench_gen: %s exists already\n", dir.c_str());
        return 2;
    }
    if (mode == "mixed" && argc == 5 && Number(argv[4], &a)) return Mixed(dir, seed, a);
    if (mode == "random" && argc == 6 && Number(argv[4], &a) && Number(argv[5], &b))
        return Random(dir, seed, a, b);
    return Usage();
}
