#include "update/block_transfer.h"

#include <cstring>

#include "link/commands.h"
#include "link/device_io.h"

namespace {

constexpr std::uint8_t kErasedFlashByte = 0xFF;

}  // namespace

TransferOutcome sendImageBlocks(const std::uint8_t* image, std::uint32_t size,
                                ProgressStep onProgress, void* context, GoOnQuestion goOn) {
    std::uint32_t remaining = size;
    const std::uint8_t* cursor = image;
    while (remaining != 0) {
        if (goOn != nullptr && !goOn(context)) return {kLinkStopped, 0};
        std::uint32_t wordsSent = 0;
        LinkResult result;
        if (remaining >= kBlockBytes) {
            result = writeDataBlock(cursor, kBlockBytes / 4, &wordsSent);
            remaining -= kBlockBytes;
            cursor += kBlockBytes;
        } else {
            // The final short block goes out in a buffer filled like erased flash. A length that
            // is not a whole number of words is rounded up, so its last bytes are sent too.
            std::uint8_t last[kBlockBytes];
            std::memset(last, kErasedFlashByte, sizeof last);
            std::memcpy(last, cursor, remaining);
            result = writeDataBlock(last, (remaining + 3) / 4, &wordsSent);
            remaining = 0;
        }
        if (result != kLinkOk) return {result, lastSystemError()};
        if (onProgress != nullptr) onProgress((size - remaining) * 100u / size, context);
        pauseLink(kBlockPauseMs);
    }
    return {kLinkOk, 0};
}
