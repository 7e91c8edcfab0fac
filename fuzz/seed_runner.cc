// A fuzz target's seeds run without libFuzzer, so every build's suite runs
// them: each file named, and each file in each folder named, is handed to
// the target once. A target's failing check aborts the run.
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
    static const uint8_t none[1] = {};  // libFuzzer hands even an empty input a real pointer
    LLVMFuzzerTestOneInput(data.empty() ? none : data.data(), data.size());
    return true;
}

int main(int argc, char **argv)
{
    int ran = 0;
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
    printf("%d inputs\n", ran);
    return ran > 0 ? 0 : 1;
}
