#include "tests/random/random_device.h"

#include "tests/random/update_oracle.h"
#include "tests/support/trace_lines.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <numeric>

namespace TestSupport {

namespace {

constexpr DWORD IMAGE_INVALID = 0x80030209;
constexpr DWORD POWER_CYCLE_REQUIRED = 0x00030207;

// SplitMix64: the same numbers from a seed on every machine and with every standard library.
class Draw {
public:
    explicit Draw(std::uint64_t seed) : state(seed) {}

    std::uint64_t Next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // From 0 to `count` - 1.
    std::uint64_t Below(std::uint64_t count) { return Next() % count; }
    std::uint64_t Between(std::uint64_t low, std::uint64_t high) { return low + Below(high - low + 1); }
    bool Percent(unsigned chance) { return Below(100) < chance; }
    // The index of one of the weights, each as often as its weight says.
    std::size_t Pick(std::initializer_list<unsigned> weights) {
        std::uint64_t left = Below(std::accumulate(weights.begin(), weights.end(), 0u));
        std::size_t index = 0;
        for (const unsigned weight : weights) {
            if (left < weight) {
                break;
            }
            left -= weight;
            ++index;
        }
        return index;
    }
    std::uint8_t Byte() { return static_cast<std::uint8_t>(Next()); }
    template <typename T> T OneOf(std::initializer_list<T> values) {
        return values.begin()[Below(values.size())];
    }

private:
    std::uint64_t state;
};

// The two codes the tool recognises, wherever they come, and codes that mean nothing to it.
DWORD ErrorCode(Draw& draw) {
    if (draw.Percent(50)) {
        return draw.OneOf<DWORD>({IMAGE_INVALID, POWER_CYCLE_REQUIRED});
    }
    if (draw.Percent(70)) {
        return draw.OneOf<DWORD>(
            {0, 1, 2, 5, 31, 87, 1117, 0xFFFFFFFF, IMAGE_INVALID + 1, POWER_CYCLE_REQUIRED - 1});
    }
    return static_cast<DWORD>(draw.Next());
}

// A byte whose bit 0 is set in `percent` of the draws, its other bits at random.
std::uint8_t BitZero(Draw& draw, unsigned percent) {
    const std::uint8_t byte = draw.Byte();
    return draw.Percent(percent) ? byte | 1 : byte & 0xFE;
}

std::uint32_t Filled(Draw& draw) {
    switch (draw.Pick({1, 1, 1, 27})) {
    case 0:
        // Around the revision, byte 192, and the update-disable byte, 169.
        return static_cast<std::uint32_t>(draw.OneOf<int>({0, 168, 169, 170, 191, 192, 193, 194}));
    case 1:
        // Around the modes, byte 493.
        return static_cast<std::uint32_t>(draw.OneOf<int>({492, 493, 494, 495}));
    case 2:
        return static_cast<std::uint32_t>(draw.Below(513));
    default:
        return 512;
    }
}

std::vector<RandomDevice::Slot> Slots(Draw& draw) {
    std::size_t count = 0;
    switch (draw.Pick({1, 2, 17})) {
    case 0:
        count = draw.OneOf<std::size_t>({0, 255});
        break;
    case 1:
        count = static_cast<std::size_t>(draw.Between(1, 255));
        break;
    default:
        count = static_cast<std::size_t>(draw.Between(1, 8));
    }
    // Read-only entries come mostly at the front, as the boot firmware's slot does.
    const std::size_t readOnlyFront = draw.Percent(40) ? static_cast<std::size_t>(draw.Below(count + 1)) : 0;
    const unsigned readOnlyChance = static_cast<unsigned>(draw.OneOf<int>({0, 0, 0, 10, 10, 50, 100}));
    std::vector<RandomDevice::Slot> slots;
    for (std::size_t i = 0; i < count; ++i) {
        const auto number = draw.Percent(3)    ? std::uint8_t{255}
                            : draw.Percent(50) ? static_cast<std::uint8_t>(i)
                                               : draw.Byte();
        slots.push_back(
            {number, static_cast<std::uint8_t>(i < readOnlyFront || draw.Percent(readOnlyChance))});
    }
    return slots;
}

std::uint32_t Alignment(Draw& draw) {
    switch (draw.Pick({1, 2, 1, 1, 1, 2, 2, 1, 1, 8})) {
    case 0:
        return 0;
    case 1:
        return 1;
    case 2:
        return 2;
    case 3:
        return 3;
    case 4:
        return 65536;
    case 5:
        return 4096;
    case 6:
        return static_cast<std::uint32_t>(1) << draw.Below(17);
    case 7:
        return static_cast<std::uint32_t>(draw.Between(1, 70000));
    case 8:
        return static_cast<std::uint32_t>(draw.Next());
    default:
        return 512;
    }
}

std::uint32_t MaxPayload(Draw& draw) {
    switch (draw.Pick({1, 1, 2, 3, 2, 1, 10})) {
    case 0:
        return static_cast<std::uint32_t>(draw.Below(32));
    case 1:
        return static_cast<std::uint32_t>(draw.Between(32, 600));
    case 2:
        return static_cast<std::uint32_t>(draw.Between(601, 65535));
    case 3:
        return static_cast<std::uint32_t>(draw.Between(65536 - 64, 65536 + 64));
    case 4:
        return draw.OneOf<std::uint32_t>({131072, 0xFFFFFFFF, 0x80000000});
    case 5:
        return static_cast<std::uint32_t>(draw.Between(65537, 0xFFFFFFFF));
    default:
        return 65536;
    }
}

// Around the device's maximum payload, where Windows starts to refuse the device's report.
std::optional<std::uint32_t> MaxTransferLength(Draw& draw, std::uint32_t maxPayload) {
    switch (draw.Pick({1, 1, 2, 16})) {
    case 0:
        return maxPayload == 0 ? 0 : maxPayload - 1;
    case 1:
        return maxPayload;
    case 2:
        return static_cast<std::uint32_t>(draw.Between(maxPayload, 0xFFFFFFFF));
    default:
        // A payload above the default limit is mostly allowed for, so that such devices still get updates.
        return maxPayload > DEFAULT_MAX_TRANSFER_LENGTH && draw.Percent(80) ? std::optional(maxPayload)
                                                                            : std::nullopt;
    }
}

// Most lengths sit on a segment boundary or one byte beside it, or on a multiple of the alignment that
// Windows requires of every segment; a few are long.
std::uint32_t ImageLength(Draw& draw, std::uint32_t segment, std::uint32_t alignment) {
    if (segment == 0) {
        return static_cast<std::uint32_t>(draw.Below(std::uint64_t{3} * 65536));
    }
    // Tiny segments are capped at a few hundred requests, so that one case stays cheap.
    const std::uint64_t longest = std::min<std::uint64_t>(MAX_IMAGE_LENGTH, 400ull * segment);
    std::uint64_t length = 0;
    switch (draw.Percent(1) ? 6 : draw.Pick({2, 4, 3, 2, 9, 12})) {
    case 0:
        length = draw.Below(3);
        break;
    case 1:
        length = segment + draw.Between(0, 2) - 1;
        break;
    case 2:
        length = segment * draw.Between(2, 3) + draw.Between(0, 2) - 1;
        break;
    case 3:
        length = draw.Below(4096);
        break;
    case 4:
        length = draw.Below(2ull * segment + 1);
        break;
    case 5:
        length = alignment == 0 ? 0 : alignment * draw.Between(0, (2ull * segment + alignment) / alignment);
        break;
    default:
        length = draw.Below(longest + 1);
    }
    return static_cast<std::uint32_t>(std::min(length, longest));
}

std::string Hex(DWORD code) {
    char text[11];
    // Ten characters and the terminator: the text always fits.
    static_cast<void>(std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(code)));
    return text;
}

} // namespace

RandomDevice RandomDevice::FromSeed(std::uint64_t seed) {
    Draw draw(seed);
    RandomDevice device;
    // Every revision below 7 is refused alike: 0 and 6 stand for them, beside 7, 8, 255 and any byte.
    device.extCsdRev = draw.Percent(10) ? draw.OneOf<std::uint8_t>({0, 6, draw.Byte()})
                                        : draw.OneOf<std::uint8_t>({7, 8, 8, 255, draw.Byte()});
    device.supportedModes = BitZero(draw, 92);
    device.fwConfig = BitZero(draw, 8);
    device.extCsdFilled = Filled(draw);
    device.supportUpgrade = draw.Percent(4) ? 0 : 1;
    device.slots = Slots(draw);
    device.alignment = Alignment(draw);
    device.maxPayload = MaxPayload(draw);
    device.maxTransferLength = MaxTransferLength(draw, device.maxPayload);
    const std::uint32_t segment = SegmentSizeOf(device.maxPayload, device.alignment);
    device.imageLength = ImageLength(draw, segment, device.alignment);

    const DWORD code = ErrorCode(draw);
    switch (draw.Pick({1, 1, 1, 6, 10, 14})) {
    case 0:
        device.openError = code;
        break;
    case 1:
        device.extCsdError = code;
        break;
    case 2:
        device.infoError = code;
        break;
    case 3:
        device.activateError = code;
        break;
    case 4: {
        // The first, the last and any request between, and one beyond the last that never comes.
        const std::uint32_t requests =
            segment == 0 || device.imageLength <= segment ? 1 : (device.imageLength + segment - 1) / segment;
        const std::uint32_t request = static_cast<std::uint32_t>(
            draw.Percent(60) ? draw.OneOf<std::uint32_t>({1, 2, requests, requests + 1})
                             : draw.Between(1, requests));
        device.downloadError = DownloadError{std::max<std::uint32_t>(request, 1), code};
        break;
    }
    default:
        break;
    }
    // Reserved bits beside bit 0 of the upgrade and read-only bytes, which the tool must ignore; drawn last,
    // so that every other value of a seed stays what it was.
    if (draw.Percent(10)) {
        device.supportUpgrade |= draw.Byte() & 0xFE;
    }
    if (draw.Percent(10)) {
        for (Slot& slot : device.slots) {
            slot.readOnly |= draw.Byte() & 0xFE;
        }
    }
    return device;
}

std::string RandomDevice::Description() const {
    std::string text = "drive = 1\n";
    const auto line = [&text](const char* key, const std::string& value) {
        text += std::string(key) + " = " + value + "\n";
    };
    if (openError) {
        line("open_error", Hex(*openError));
    }
    line("ext_csd_rev", std::to_string(extCsdRev));
    line("supported_modes", Hex(supportedModes));
    line("fw_config", Hex(fwConfig));
    line("ext_csd_filled", std::to_string(extCsdFilled));
    if (extCsdError) {
        line("ext_csd_error", Hex(*extCsdError));
    }
    if (infoError) {
        line("info_error", Hex(*infoError));
    }
    line("support_upgrade", std::to_string(supportUpgrade));
    std::string table;
    for (const Slot& slot : slots) {
        table += (table.empty() ? "" : ", ") + std::to_string(slot.number) +
                 (slot.readOnly == 0 ? "" : " ro:" + std::to_string(slot.readOnly));
    }
    line("slots", table);
    line("alignment", std::to_string(alignment));
    line("max_payload", std::to_string(maxPayload));
    if (maxTransferLength) {
        line("max_transfer_length", std::to_string(*maxTransferLength));
    }
    if (downloadError) {
        line("download_error", std::to_string(downloadError->request) + ":" + Hex(downloadError->code));
    }
    if (activateError) {
        line("activate_error", Hex(*activateError));
    }
    return text;
}

const std::string& ImageBytes() {
    static const std::string bytes = [] {
        Draw draw(0x5EED);
        std::string random(MAX_IMAGE_LENGTH, '\0');
        for (std::size_t i = 0; i < random.size(); i += 8) {
            const std::uint64_t word = draw.Next();
            for (std::size_t b = 0; b < 8 && i + b < random.size(); ++b) {
                random[i + b] = static_cast<char>(word >> (8 * b));
            }
        }
        return random;
    }();
    return bytes;
}

std::string_view ImageOf(std::uint32_t length) {
    return std::string_view(ImageBytes()).substr(0, length);
}

std::uint32_t ImageCrc32(std::uint32_t length) {
    // Every image is a beginning of the same bytes, so the checksums of all of them cost one pass.
    static const std::vector<std::uint32_t> crcs = [] {
        const std::string_view bytes = ImageBytes();
        std::vector<std::uint32_t> prefixes(bytes.size() + 1);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            prefixes[i + 1] = Trace::Crc32(bytes.substr(i, 1), prefixes[i]);
        }
        return prefixes;
    }();
    return crcs.at(length);
}

} // namespace TestSupport
