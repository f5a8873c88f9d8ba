// make_seeds.cpp - writes the seed corpora of the fuzz targets with the
// library itself: small archives (under 16 KiB) that between them use every
// writable file flag, several sector and piece sizes, chunk digests, a header
// at an offset, folders and records without names; chains of a base and a
// patch (fuzz_archive.cpp, pass 3); and a few compressed blocks of every
// method.
//
//   qov_make_seeds ARCHIVE_FOLDER BLOCK_FOLDER
//
// (built in the fuzz build only; the output is committed under fuzz/corpus/.)
// The output is deterministic: running it again gives the same files.

#include "read/QOVRead.h"
#include "write/QOVWrite.h"
#include "common/QOVCompression.h"

#include <LzmaEnc.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

typedef std::vector<uint8_t> Bytes;

const size_t kMaxSeed = 16 * 1024;

[[noreturn]] void Fail(const std::string& what) {
    fprintf(stderr, "qov_make_seeds: %s (last error %u)\n", what.c_str(), QOVGetLastError());
    exit(1);
}

Bytes TextBytes(size_t size, uint32_t seed) {
    static const char* const kWords[] = {"archive ", "piece ", "sector ", "table ", "name ",
                                         "digest ",  "\r\n",   "file ",   "key "};
    Bytes out;
    uint32_t state = seed * 2654435761u + 1;
    while (out.size() < size) {
        state = state * 1103515245u + 12345u;
        const char* word = kWords[(state >> 16) % 9];
        for (const char* p = word; *p != 0 && out.size() < size; p++) out.push_back(static_cast<uint8_t>(*p));
    }
    return out;
}

Bytes RandomBytes(size_t size, uint32_t seed) {
    Bytes out(size);
    uint32_t state = seed | 1;
    for (size_t i = 0; i < size; i++) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        out[i] = static_cast<uint8_t>(state);
    }
    return out;
}

bool ReadDiskFile(const std::string& path, Bytes* pData) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    pData->clear();
    uint8_t block[4096];
    size_t got;
    while ((got = fread(block, 1, sizeof(block), file)) > 0) pData->insert(pData->end(), block, block + got);
    fclose(file);
    return true;
}

void WriteDiskFile(const std::string& path, const Bytes& data) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr || fwrite(data.data(), 1, data.size(), file) != data.size())
        Fail("cannot write " + path);
    fclose(file);
}

//-----------------------------------------------------------------------------
// Archives.

struct ArchiveParams {
    uint32_t capacity = 64;
    uint16_t sectorShift = 0;
    uint16_t formatVersion = 0;
    uint32_t pieceSize = 1024;
    uint32_t chunkSize = 0;
    uint64_t headerOffset = 0;
};

struct NewFile {
    std::string name;
    uint32_t flags;
    Bytes content;
};

void AddFile(TNQOVArchive* ha, const NewFile& file) {
    TNQOVFile* hf = nullptr;
    const uint32_t size = static_cast<uint32_t>(file.content.size());
    if (!SFileCreateFileEx(ha, file.name.c_str(), size, file.flags, &hf)) Fail("create " + file.name);
    // Two writes, so that a sector is filled across calls.
    const uint32_t half = size / 3;
    if (!SFileWriteFile(hf, file.content.data(), half) ||
        !SFileWriteFile(hf, file.content.data() + half, size - half))
        Fail("write " + file.name);
    if (!SFileFinishFile(hf)) Fail("finish " + file.name);
}

// Drops the list file, so that the records open only by their pseudo names.
void DropListFile(TNQOVArchive* ha) {
    if (!SFileFlushArchive(ha)) Fail("flush before dropping the list file");
    const uint32_t index = FindSlotByName(Impl(ha), NQOV_LISTFILE_NAME);
    if (index == QOV_NO_RECORD) Fail("no list file to drop");
    DropRecord(Impl(ha), &Impl(ha)->Records[index]);
    Impl(ha)->dwFlags |= NQOV_FLAG_CHANGED;
    Impl(ha)->dwFlags &= ~NQOV_FLAG_LISTFILE_CHANGED;
}

typedef std::vector<uint8_t> Tag;

// Writes an archive (a patch when baseTag is given) in the scratch folder,
// checks it and returns its bytes; *pVersion gets the version it stands for.
Bytes BuildArchive(const std::string& scratch, const std::string& name, const ArchiveParams& params,
                   const std::vector<NewFile>& files, bool bDropListFile, const Tag& baseTag = Tag(),
                   Tag* pVersion = nullptr) {
    const std::string path = scratch + "/" + name + ".qov";
    unlink(path.c_str());
    QOV_CREATE_PARAMS create;
    SFileInitCreateParams(&create, params.capacity);
    create.wSectorSize = params.sectorShift;
    create.wFormatVersion = params.formatVersion;
    create.dwMD5PieceSize = params.pieceSize;
    create.dwRawChunkSize = params.chunkSize;
    create.qwHeaderOffset = params.headerOffset;
    TNQOVArchive* ha = nullptr;
    if (!SFileCreateArchive(path.c_str(), &create, &ha)) Fail("create archive " + name);
    for (const NewFile& file : files) AddFile(ha, file);
    if (bDropListFile) DropListFile(ha);
    if (!baseTag.empty()) ha->SetPatchBaseTag(baseTag.data());
    if (!SFileCloseArchive(ha, true)) Fail("close archive " + name);

    // The archive must open and every file read back.
    if (!SFileOpenArchive(path.c_str(), &ha, NQOV_OPEN_READ_ONLY)) Fail("reopen " + name);
    for (const NewFile& file : files) {
        if (bDropListFile) break;
        TNQOVFile* hf = nullptr;
        if (!NQOVOpenFileEx(ha, file.name.c_str(), QOV_OPEN_PATCHED, &hf)) Fail("open " + file.name);
        Bytes back(file.content.size() + 1);
        uint32_t read = 0;
        SFileReadFile(hf, back.data(), static_cast<uint32_t>(back.size()), &read, true);
        back.resize(read);
        if (back != file.content) Fail("read back " + file.name + " in " + name);
        SFileCloseFile(hf);
    }
    if (!SFileVerifyAll(ha, nullptr)) Fail("verify " + name);
    if (pVersion != nullptr) pVersion->assign(ha->GetCurrentTag(), ha->GetCurrentTag() + 16);
    SFileCloseArchive(ha, false);

    Bytes bytes;
    if (!ReadDiskFile(path, &bytes)) Fail("read " + path);
    unlink(path.c_str());
    if (bytes.size() > kMaxSeed) Fail(name + " is larger than 16 KiB: " + std::to_string(bytes.size()));
    return bytes;
}

void MakeArchive(const std::string& scratch, const std::string& outFolder, const std::string& name,
                 const ArchiveParams& params, const std::vector<NewFile>& files, bool bDropListFile = false) {
    const Bytes bytes = BuildArchive(scratch, name, params, files, bDropListFile);
    WriteDiskFile(outFolder + "/" + name + ".qov", bytes);
    printf("%-28s %6zu bytes, %zu files\n", (name + ".qov").c_str(), bytes.size(), files.size());
}

// A chain seed of fuzz_archive: "nqch", the base's length (LE32), the base
// and the patch.
void WriteChainSeed(const std::string& outFolder, const std::string& name, const Bytes& base,
                    const Bytes& patch) {
    Bytes seed = {'n', 'q', 'c', 'h'};
    const uint32_t length = static_cast<uint32_t>(base.size());
    for (int shift = 0; shift < 32; shift += 8) seed.push_back(static_cast<uint8_t>(length >> shift));
    seed.insert(seed.end(), base.begin(), base.end());
    seed.insert(seed.end(), patch.begin(), patch.end());
    WriteDiskFile(outFolder + "/" + name + ".qov", seed);
    printf("%-28s %6zu bytes\n", (name + ".qov").c_str(), seed.size());
}

// Every combination of compression, encryption (with and without the fixed
// key), sector checksums and single unit; the two spare flags ride along.
std::vector<uint32_t> FlagCombinations() {
    std::vector<uint32_t> combos;
    const uint32_t ciphers[] = {0, NQOV_FILE_ENCRYPTED, NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY};
    for (uint32_t compress : {0u, NQOV_FILE_COMPRESS})
        for (uint32_t cipher : ciphers)
            for (uint32_t crc : {0u, NQOV_FILE_SECTOR_CRC})
                for (uint32_t single : {0u, NQOV_FILE_SINGLE_UNIT}) {
                    const uint32_t index = static_cast<uint32_t>(combos.size());
                    const uint32_t spare = index % 5 == 1   ? NQOV_FILE_FLAG_20
                                           : index % 5 == 3 ? NQOV_FILE_FLAG_30
                                                            : 0;
                    combos.push_back(compress | cipher | crc | single | spare);
                }
    return combos;
}

std::vector<NewFile> FlagFiles(const std::vector<uint32_t>& combos, const std::vector<uint32_t>& sizes,
                               bool bRandom, uint32_t seed) {
    std::vector<NewFile> files;
    for (size_t i = 0; i < combos.size(); i++) {
        const uint32_t size = sizes[i % sizes.size()];
        char name[64];
        snprintf(name, sizeof(name), "f%02zu_%08x.dat", i, combos[i]);
        files.push_back({name, combos[i],
                         bRandom ? RandomBytes(size, seed + static_cast<uint32_t>(i))
                                 : TextBytes(size, seed + static_cast<uint32_t>(i))});
    }
    return files;
}

void MakeArchives(const std::string& scratch, const std::string& out) {
    const std::vector<uint32_t> all = FlagCombinations();  // 24 combinations
    std::vector<uint32_t> firstHalf(all.begin(), all.begin() + 12);
    std::vector<uint32_t> secondHalf(all.begin() + 12, all.end());

    ArchiveParams p;
    p.sectorShift = 0;  // 512-byte sectors: files of several sectors stay small
    p.pieceSize = 1024;
    MakeArchive(scratch, out, "flags_text_s512", p,
                FlagFiles(all, {0, 3, 4, 31, 32, 40, 511, 513, 700, 1100, 1600, 90}, false, 1));

    p.pieceSize = 4096;
    MakeArchive(scratch, out, "flags_random_s512", p, FlagFiles(all, {5, 33, 200, 512, 600, 1025}, true, 2));

    p.sectorShift = 1;  // 1 KiB sectors, chunk digests after every blob and table
    p.pieceSize = 2048;
    p.chunkSize = 256;
    MakeArchive(scratch, out, "chunks_256", p, FlagFiles(secondHalf, {40, 700, 1500, 2100}, false, 3));

    p = ArchiveParams();
    p.sectorShift = 0;
    p.pieceSize = 512;
    p.headerOffset = 512;
    p.formatVersion = 1;
    MakeArchive(scratch, out, "offset512_v1", p, FlagFiles(firstHalf, {50, 520, 1200}, false, 4));

    // Folders: directory records and the tree links between them.
    p = ArchiveParams();
    p.sectorShift = 1;
    p.pieceSize = 3000;  // not a power of two
    MakeArchive(scratch, out, "folders", p,
                {{"readme.txt", NQOV_FILE_COMPRESS, TextBytes(300, 5)},
                 {"data\\maps\\one.map", NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED, TextBytes(1500, 6)},
                 {"data\\maps\\two.map", NQOV_FILE_COMPRESS | NQOV_FILE_SECTOR_CRC, TextBytes(2600, 7)},
                 {"data/sound/a.wav", NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY, RandomBytes(700, 8)},
                 {"Data\\Sound\\B.WAV", NQOV_FILE_SINGLE_UNIT | NQOV_FILE_COMPRESS, TextBytes(900, 9)}});

    // Enciphered files without a list file: their keys must be guessed from
    // their content (RIFF/WAVE, MZ and XML starts, and one that fits none).
    Bytes wave = TextBytes(1200, 10);
    const uint8_t riff[] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    std::copy(riff, riff + 12, wave.begin());
    Bytes exe = RandomBytes(900, 11);
    const uint8_t mz[] = {'M', 'Z', 0x90, 0, 3, 0, 0, 0};
    std::copy(mz, mz + 8, exe.begin());
    Bytes xml = TextBytes(800, 12);
    const char* xmlStart = "<?xml version=\"1.0\"?>";
    std::copy(xmlStart, xmlStart + 21, xml.begin());
    p = ArchiveParams();
    p.sectorShift = 0;
    p.pieceSize = 1024;
    MakeArchive(scratch, out, "unnamed_keys", p,
                {{"sound.wav", NQOV_FILE_ENCRYPTED, wave},
                 {"single.wav", NQOV_FILE_ENCRYPTED | NQOV_FILE_SINGLE_UNIT, wave},
                 {"prog.exe", NQOV_FILE_ENCRYPTED | NQOV_FILE_COMPRESS, exe},
                 {"conf.xml", NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY | NQOV_FILE_COMPRESS, xml},
                 {"other.bin", NQOV_FILE_ENCRYPTED, TextBytes(100, 13)},
                 {"clear.txt", NQOV_FILE_COMPRESS, TextBytes(600, 14)}},
                true);

    // Large sectors (16 KiB): every file is one partial sector.
    p = ArchiveParams();
    p.sectorShift = 5;
    p.pieceSize = 8192;
    MakeArchive(scratch, out, "sector16k", p, FlagFiles(secondHalf, {10, 100, 1000}, false, 15));

    // Many small files in a larger index.
    p = ArchiveParams();
    p.capacity = 300;
    p.sectorShift = 0;
    p.pieceSize = 4096;
    {
        std::vector<NewFile> files;
        for (uint32_t i = 0; i < 80; i++) {
            char name[32];
            snprintf(name, sizeof(name), "many\\n%03u.txt", i);
            files.push_back({name, i % 2 ? NQOV_FILE_COMPRESS : 0u, TextBytes(i % 7 * 5, 16 + i)});
        }
        MakeArchive(scratch, out, "many_small", p, files);
    }

    // No file at all, and one with only empty files.
    p = ArchiveParams();
    MakeArchive(scratch, out, "empty", p, {});
    MakeArchive(scratch, out, "empty_files", p,
                {{"zero", NQOV_FILE_COMPRESS, {}}, {"zero2", NQOV_FILE_SINGLE_UNIT, {}}});
}

// Pairs of a base and a patch.  The first two match (the patch names the
// base's version), the third does not (fuzz_archive then gives it the tag).
void MakeChains(const std::string& scratch, const std::string& out) {
    ArchiveParams p;
    p.sectorShift = 0;
    p.pieceSize = 1024;
    Tag version;
    const Bytes base =
        BuildArchive(scratch, "chain_base", p,
                     {{"common.txt", NQOV_FILE_COMPRESS, TextBytes(900, 30)},
                      {"base_only.bin", 0, RandomBytes(700, 31)},
                      {"dir\\a.txt", NQOV_FILE_COMPRESS | NQOV_FILE_SECTOR_CRC, TextBytes(1300, 32)},
                      {"dir\\hidden.txt", NQOV_FILE_COMPRESS | NQOV_FILE_FLAG_30, TextBytes(300, 33)},
                      {"single.bin", NQOV_FILE_SINGLE_UNIT | NQOV_FILE_COMPRESS, TextBytes(600, 34)},
                      {"secret.bin", NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY, TextBytes(800, 35)}},
                     false, Tag(), &version);
    ArchiveParams pp;
    pp.capacity = 16;
    pp.sectorShift = 1;
    pp.pieceSize = 2048;
    const std::vector<NewFile> patchFiles = {
        {"common.txt", NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED, TextBytes(1100, 40)},
        {"dir\\c.txt", NQOV_FILE_COMPRESS, TextBytes(700, 41)},
        {"dir\\sub\\d.bin", 0, RandomBytes(500, 42)},
        {"dir\\a.txt", NQOV_FILE_SINGLE_UNIT, TextBytes(200, 43)}};
    WriteChainSeed(out, "chain_matching", base,
                   BuildArchive(scratch, "chain_patch", pp, patchFiles, false, version));
    // A patch without a list file: its records open by pseudo name only.
    WriteChainSeed(out, "chain_unnamed_patch", base,
                   BuildArchive(scratch, "chain_unnamed", pp, patchFiles, true, version));
    WriteChainSeed(out, "chain_other_version", base,
                   BuildArchive(scratch, "chain_other", pp, patchFiles, false, Tag(16, 0xA5)));
}

//-----------------------------------------------------------------------------
// Compressed blocks for fuzz_decompress: [expected length LE16][selector][block].

void* SdkAlloc(void*, size_t size) { return malloc(size); }
void SdkFree(void*, void* address) { free(address); }
ISzAlloc g_sdkAlloc = {SdkAlloc, SdkFree};

Bytes LzmaBlock(const Bytes& input) {
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.level = 5;
    props.dictSize = 1u << 16;
    props.numThreads = 1;
    SizeT cbStream = input.size() + input.size() / 3 + 256;
    Bytes stream(cbStream);
    Byte propBytes[LZMA_PROPS_SIZE];
    SizeT cbProps = LZMA_PROPS_SIZE;
    if (LzmaEncode(stream.data(), &cbStream, input.data(), input.size(), &props, propBytes, &cbProps, 1,
                   nullptr, &g_sdkAlloc, &g_sdkAlloc) != SZ_OK)
        Fail("LzmaEncode");
    Bytes block(2 + LZMA_PROPS_SIZE + 8, 0xFF);
    block[0] = NQOV_COMPRESSION_LZMA;
    block[1] = 0;
    std::copy(propBytes, propBytes + LZMA_PROPS_SIZE, block.begin() + 2);
    block.insert(block.end(), stream.begin(), stream.begin() + cbStream);
    return block;
}

Bytes Packed(const Bytes& input, uint32_t methods) {
    Bytes block(input.size());
    uint32_t cb = static_cast<uint32_t>(block.size());
    if (!QOVCompressBlockMethods(input.data(), block.data(), &cb, static_cast<uint32_t>(input.size()), -1,
                                 methods))
        Fail("QOVCompressBlockMethods");
    block.resize(cb);
    return block;
}

void WriteBlockSeed(const std::string& folder, const std::string& name, uint32_t expected, uint8_t selector,
                    const Bytes& block) {
    Bytes seed = {static_cast<uint8_t>(expected), static_cast<uint8_t>(expected >> 8), selector};
    seed.insert(seed.end(), block.begin(), block.end());
    WriteDiskFile(folder + "/" + name, seed);
    printf("%-28s %6zu bytes\n", name.c_str(), seed.size());
}

void MakeBlocks(const std::string& out) {
    const Bytes text = TextBytes(3000, 20);
    WriteBlockSeed(out, "zlib.blk", 3000, NQOV_COMPRESSION_ZLIB, Packed(text, NQOV_COMPRESSION_ZLIB));
    WriteBlockSeed(out, "bzip2.blk", 3000, NQOV_COMPRESSION_BZIP2, Packed(text, NQOV_COMPRESSION_BZIP2));
    const Bytes runs = TextBytes(20000, 21);
    WriteBlockSeed(out, "zlib_bzip2.blk", 20000, NQOV_COMPRESSION_ZLIB | NQOV_COMPRESSION_BZIP2,
                   Packed(runs, NQOV_COMPRESSION_ZLIB | NQOV_COMPRESSION_BZIP2));
    WriteBlockSeed(out, "lzma.blk", 3000, 0, LzmaBlock(text));
    Bytes methodZero = {0};
    methodZero.insert(methodZero.end(), text.begin(), text.begin() + 200);
    WriteBlockSeed(out, "method0.blk", 200, 0, methodZero);
    WriteBlockSeed(out, "plain.blk", 64, 0, RandomBytes(64, 22));
    const Bytes zeros(4096, 0);
    WriteBlockSeed(out, "zeros.blk", 4096, NQOV_COMPRESSION_ZLIB, Packed(zeros, NQOV_COMPRESSION_ZLIB));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: qov_make_seeds ARCHIVE_FOLDER BLOCK_FOLDER\n");
        return 2;
    }
    const std::string archives = argv[1], blocks = argv[2];
    mkdir(archives.c_str(), 0755);
    mkdir(blocks.c_str(), 0755);
    char scratch[] = "/tmp/nqov-seeds-XXXXXX";
    if (mkdtemp(scratch) == nullptr) Fail("mkdtemp");
    MakeArchives(scratch, archives);
    MakeChains(scratch, archives);
    MakeBlocks(blocks);
    rmdir(scratch);
    return 0;
}
