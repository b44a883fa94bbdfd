// Captured frames as a sweep and a command wait meet them: any bytes, any lengths.
// Input: frames one after the other, each preceded by its length on two bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "BoxReport.h"
#include "velqorin/NetworkAnalyse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static CVelqorinNetworkAnalyse analyser;
    analyser.reset();
    TAnalyseBuffer request;
    velqorin::buildDiscoveryRequest(request, analyser.analyserToken);
    TAnalyseBuffer command = request;
    command.frameKind = 3;

    while (size >= 2) {
        std::size_t length = static_cast<std::size_t>(data[0]) << 8 | data[1];
        data += 2;
        size -= 2;
        if (length > size) length = size;
        // The link hands over the captured bytes only; a copy keeps reads inside them.
        std::string frame(reinterpret_cast<const char*>(data), length);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(frame.data());
        if (velqorin::isDiscoveryReply(request, bytes, length)) {
            TAnalyseBuffer reply;
            std::memcpy(&reply, bytes, velqorin::kFrameSize);
            analyser.AddBox(&reply, length % 2 ? "vq0" : "vq1");
        }
        (void)velqorin::isCommandAnswer(command, bytes, length);
        data += length;
        size -= length;
    }
    const auto rows = velqorin::cli::rowsOf(analyser);
    (void)velqorin::cli::jsonText(rows);
    (void)velqorin::cli::csvText(rows);
    (void)velqorin::cli::tableText(rows);
    return 0;
}
