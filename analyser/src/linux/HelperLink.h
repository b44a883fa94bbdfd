// The link through the link helper: for a process without CAP_NET_RAW, the helper
// (started once, on first use, and kept until the process ends) opens the adapters,
// relays their frames and sends ours after checking them.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <optional>
#include <string>

#include "link/Link.h"
#include "helper/HelperProtocol.h"
#include "linux/IcmpEcho.h"

namespace velqorin {

// Where the packages install the helper; fixed when the library is built.
const char* linkHelperPath();

class HelperLink final : public Link {
public:
    explicit HelperLink(std::string helperPath) : path_(std::move(helperPath)) {}
    ~HelperLink() override;
    HelperLink(const HelperLink&) = delete;
    HelperLink& operator=(const HelperLink&) = delete;

    std::optional<std::vector<std::string>> listAdapters() override;
    std::unique_ptr<LinkAdapter> open(const std::string& name) override;
    std::vector<std::size_t> receiveAny(const std::vector<LinkAdapter*>& adapters,
                                        std::chrono::milliseconds timeout,
                                        const AdapterFrameStep& step) override;
    std::string error() const override;

    // Whether the helper runs and may capture; when not, why() says what to do.
    bool usable();
    std::string why() const;
    // One ICMP echo from the helper; nothing when the helper cannot be asked.
    std::optional<bool> ping(const std::uint8_t (&address)[4]);
    // Every address pinged at once by the helper; nothing when it cannot.
    std::optional<std::vector<bool>> pingAll(const std::vector<Ipv4Bytes>& addresses);

    // For the helper's adapters: one request and its reply. Batches of a Receive go to
    // `onBatch` before the reply comes.
    struct Reply {
        helper::Kind kind = helper::Kind::Error;
        std::string message;  // the whole reply, for a Reader
    };
    std::optional<Reply> call(const helper::Request& request,
                              const std::function<void(helper::Reader&)>& onBatch = {});
    void failWith(std::string text);

private:
    bool startLocked();
    void stopLocked();
    std::optional<Reply> callLocked(const helper::Request& request,
                                    const std::function<void(helper::Reader&)>& onBatch);

    const std::string path_;
    mutable std::mutex mutex_;
    int fd_ = -1;
    pid_t child_ = -1;
    bool mayCapture_ = false;
    std::string error_;
    std::string why_;
};

}  // namespace velqorin
