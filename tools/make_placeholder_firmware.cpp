// Writes the stand-in for firmware image 140 that the repository carries instead of a real image.
// Real images come from the controller's firmware team and are chosen at configure time
// (UPDATER_FIRMWARE_IMAGE); this one only has to be 97,808 bytes, reproducible and unmistakable.
//
//   c++ -O2 -std=c++17 tools/make_placeholder_firmware.cpp -o make_placeholder_firmware
//   ./make_placeholder_firmware resources/firmware/placeholder_140.bin
//
// Layout: a 32-byte ASCII banner, then bytes from a 32-bit linear congruential generator
// (x = x * 1664525 + 1013904223, seed 0x140, each byte the top 8 bits). The generator makes
// every 48-byte transfer block different, so a block sent twice or out of order shows in tests.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t imageSize = 97808;  // 2,037 blocks of 48 bytes and a final 32
constexpr char banner[] = "PLACEHOLDER IMAGE, NOT FIRMWARE.";

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.bin\n", argv[0]);
        return 2;
    }
    static_assert(sizeof banner - 1 == 32, "banner fills exactly the first 32 bytes");
    std::vector<unsigned char> image(imageSize);
    std::memcpy(image.data(), banner, 32);
    std::uint32_t x = 0x140;
    for (std::size_t i = 32; i < image.size(); ++i) {
        x = x * 1664525u + 1013904223u;
        image[i] = static_cast<unsigned char>(x >> 24);
    }
    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    const bool written = std::fwrite(image.data(), 1, image.size(), out) == image.size();
    if (std::fclose(out) != 0 || !written) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
