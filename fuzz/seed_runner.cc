// A fuzz target's seeds run without libFuzzer, so every build's suite runs
// them: each file named, and each file in each folder named, is handed to
// the target once, then a few inputs made from it, some of them as long as
// a datagram. A target's failing check aborts the run.
//   target_seeds PATH...

// Directory offsets of a 64-bit file system do not fit a 32-bit off_t: the
// device build's readdir would give up on the first entry.
#define _FILE_OFFSET_BITS 64

#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

static void run(const std::vector<uint8_t> &data)
{
    static const uint8_t none[1] = {};  // libFuzzer hands even an empty input a real pointer
    LLVMFuzzerTestOneInput(data.empty() ? none : data.data(), data.size());
}

// Inputs made from a seed the way a fuzzer makes them, from a fixed
// sequence (HOUSE_FUZZ_SEED picks another): bytes changed, cut or added,
// and a slice repeated until the input is as long as a datagram can be.
static uint64_t rng = 0x9e3779b97f4a7c15ULL;
static size_t below(size_t n)
{
    rng ^= rng << 13, rng ^= rng >> 7, rng ^= rng << 17;
    return n ? (size_t)(rng % n) : 0;
}

static void run_mutants(std::vector<uint8_t> seed)
{
    enum { MUTANTS = 6, DATAGRAM = 65536 };
    for (int m = 0; m < MUTANTS && !seed.empty(); m++) {
        std::vector<uint8_t> d = seed;
        size_t at = below(d.size()), len = 1 + below(d.size() - at);
        switch (m % 3 == 2 ? 3 : below(3)) {
        case 0: d[at] = (uint8_t)below(256); break;
        case 1: d.erase(d.begin() + (long)at, d.begin() + (long)(at + len)); break;
        case 2: d.insert(d.begin() + (long)at, seed.begin() + (long)below(seed.size()), seed.end()); break;
        default: {  // to the size of a whole datagram
            std::vector<uint8_t> grown(d.begin(), d.begin() + (long)at);
            while (grown.size() + d.size() - at < DATAGRAM)
                grown.insert(grown.end(), d.begin() + (long)at, d.begin() + (long)(at + len));
            grown.insert(grown.end(), d.begin() + (long)at, d.end());
            d.swap(grown);
        }
        }
        if (d.size() > DATAGRAM)
            d.resize(DATAGRAM);
        run(d);
    }
}

static bool run_file(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    std::vector<uint8_t> data;
    uint8_t chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        data.insert(data.end(), chunk, chunk + n);
    fclose(f);
    run(data);
    run_mutants(data);
    return true;
}

int main(int argc, char **argv)
{
    int ran = 0;
    if (const char *seed = getenv("HOUSE_FUZZ_SEED"))
        rng = strtoull(seed, NULL, 0) | 1;
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    for (int i = 1; i < argc; i++) {
        DIR *dir = opendir(argv[i]);
        if (!dir) {
            ran += run_file(argv[i]);
            continue;
        }
        while (struct dirent *e = readdir(dir))
            if (e->d_name[0] != '.')
                ran += run_file(std::string(argv[i]) + "/" + e->d_name);
        closedir(dir);
    }
    printf("%d seeds, each with its mutants\n", ran);
    return ran > 0 ? 0 : 1;
}
