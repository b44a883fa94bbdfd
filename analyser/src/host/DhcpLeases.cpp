#include "host/DhcpLeases.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <functional>
#include <array>
#include <cstdlib>
#include <cstdint>
#include <optional>
#include <system_error>
#include <vector>

#include "support/FileRead.h"

namespace velqorin {

namespace {

constexpr std::string_view kSpaces = " \t\r\n\f\v";
// A hostile folder with a million entries must not stall the sweep.
constexpr std::size_t kMaxFolderEntries = 4096;

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(kSpaces);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(kSpaces) - first + 1);
}

// ---- dhclient ------------------------------------------------------------------------

enum class TokenKind { Word, String, Open, Close, Semicolon, End };

struct Token {
    TokenKind kind;
    std::string text;
};

// dhclient's configuration language: words, quoted strings, braces, semicolons and
// '#' comments. A string cut off by the end of the file ends the input.
class DhclientLexer {
public:
    explicit DhclientLexer(std::string_view text) : s_(text) {}

    Token next() {
        for (;;) {
            while (pos_ < s_.size() && kSpaces.find(s_[pos_]) != std::string_view::npos) ++pos_;
            if (pos_ >= s_.size()) return {TokenKind::End, {}};
            if (s_[pos_] != '#') break;
            const auto eol = s_.find('\n', pos_);
            pos_ = eol == std::string_view::npos ? s_.size() : eol + 1;
        }
        const char c = s_[pos_];
        if (c == '"') return quoted();
        if (const auto kind = punctuation(c)) {
            ++pos_;
            return {*kind, {}};
        }
        const auto end = s_.find_first_of("{};\"# \t\r\n\f\v", pos_);
        const std::size_t stop = end == std::string_view::npos ? s_.size() : end;
        Token t{TokenKind::Word, std::string(s_.substr(pos_, stop - pos_))};
        pos_ = stop;
        return t;
    }

private:
    static std::optional<TokenKind> punctuation(char c) {
        switch (c) {
            case '{':
                return TokenKind::Open;
            case '}':
                return TokenKind::Close;
            case ';':
                return TokenKind::Semicolon;
            default:
                return std::nullopt;
        }
    }

    Token quoted() {
        std::string text;
        for (std::size_t i = pos_ + 1; i < s_.size(); ++i) {
            if (s_[i] == '"') {
                pos_ = i + 1;
                return {TokenKind::String, std::move(text)};
            }
            if (s_[i] == '\\' && i + 1 < s_.size()) ++i;
            text += s_[i];
        }
        pos_ = s_.size();
        return {TokenKind::End, {}};
    }

    std::string_view s_;
    std::size_t pos_ = 0;
};

struct DhclientLease {
    std::string interface;
    std::string server;
    std::string address;
    std::optional<std::int64_t> expires;
};

std::optional<std::int64_t> number(std::string_view text) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// dhclient's times: "expire 3 2026/12/09 23:39:40;" in UTC, or "expire epoch 1765...;"
// with `db-time-format local`; "expire never;" never runs out.
std::optional<std::int64_t> dhclientTime(const std::vector<Token>& statement) {
    if (statement.size() == 3 && statement[1].text == "epoch") return number(statement[2].text);
    if (statement.size() < 4) return std::nullopt;
    std::tm when{};
    const std::string text = statement[2].text + " " + statement[3].text;
    if (std::sscanf(text.c_str(), "%d/%d/%d %d:%d:%d", &when.tm_year, &when.tm_mon, &when.tm_mday,
                    &when.tm_hour, &when.tm_min, &when.tm_sec) != 6)
        return std::nullopt;
    when.tm_year -= 1900;
    when.tm_mon -= 1;
    const std::time_t seconds = ::timegm(&when);
    if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
    return static_cast<std::int64_t>(seconds);
}

// Reads the body of a `lease {` block up to its closing brace. Empty when the input
// ends first: a lease cut off by a crash or a partial copy is not trusted.
std::optional<DhclientLease> readLeaseBlock(DhclientLexer& lexer) {
    DhclientLease lease;
    std::vector<Token> statement;
    int depth = 1;
    for (;;) {
        Token t = lexer.next();
        switch (t.kind) {
            case TokenKind::End:
                return std::nullopt;
            case TokenKind::Open:
                ++depth;
                break;
            case TokenKind::Close:
                if (--depth == 0) return lease;
                statement.clear();
                break;
            case TokenKind::Semicolon:
                if (depth == 1 && statement.size() >= 2) {
                    const std::string& word = statement[0].text;
                    if (word == "interface" && statement[0].kind == TokenKind::Word)
                        lease.interface = statement[1].text;
                    else if (statement.size() >= 3 && word == "option" &&
                             statement[1].text == "dhcp-server-identifier")
                        lease.server = statement[2].text;
                    else if (word == "fixed-address")
                        lease.address = statement[1].text;
                    else if (word == "expire" && statement[1].text != "never")
                        // A time that does not read is taken as run out.
                        lease.expires = dhclientTime(statement).value_or(0);
                }
                statement.clear();
                break;
            case TokenKind::Word:
            case TokenKind::String:
                // Only the first four tokens of a statement ever matter.
                if (statement.size() < 4) statement.push_back(std::move(t));
                break;
        }
    }
}

// Skips the rest of a top-level statement: up to its semicolon, or over its braced block.
bool skipStatement(DhclientLexer& lexer, Token t) {
    int depth = 0;
    for (;; t = lexer.next()) {
        switch (t.kind) {
            case TokenKind::End:
                return false;
            case TokenKind::Open:
                ++depth;
                break;
            case TokenKind::Close:
                if (depth > 0 && --depth == 0) return true;
                break;
            case TokenKind::Semicolon:
                if (depth == 0) return true;
                break;
            default:
                break;
        }
    }
}

// ---- dhcpcd --------------------------------------------------------------------------

constexpr std::size_t kSnameOffset = 44;
constexpr std::size_t kFileOffset = 108;
constexpr std::size_t kCookieOffset = 236;
constexpr std::size_t kOptionsOffset = 240;
constexpr std::array<std::uint8_t, 4> kMagicCookie{99, 130, 83, 99};
constexpr std::uint8_t kOptionPad = 0;
constexpr std::uint8_t kOptionEnd = 255;
constexpr std::size_t kYiaddrOffset = 16;
constexpr std::uint8_t kOptionLeaseTime = 51;
constexpr std::uint8_t kOptionOverload = 52;
constexpr std::uint8_t kOptionServerIdentifier = 54;
constexpr std::uint32_t kInfiniteLease = 0xFFFFFFFF;

struct DhcpOptions {
    std::optional<std::array<std::uint8_t, 4>> server;
    std::optional<std::uint32_t> leaseTime;
    std::uint8_t overload = 0;
};

void scanOptions(std::string_view area, DhcpOptions& found) {
    std::size_t i = 0;
    while (i < area.size()) {
        const auto code = static_cast<std::uint8_t>(area[i]);
        if (code == kOptionPad) {
            ++i;
            continue;
        }
        if (code == kOptionEnd || i + 1 >= area.size()) return;
        const std::size_t length = static_cast<std::uint8_t>(area[i + 1]);
        if (i + 2 + length > area.size()) return;
        const std::string_view data = area.substr(i + 2, length);
        if (code == kOptionServerIdentifier && length >= 4 && !found.server) {
            std::array<std::uint8_t, 4> address{};
            for (std::size_t k = 0; k < 4; ++k) address[k] = static_cast<std::uint8_t>(data[k]);
            found.server = address;
        } else if (code == kOptionLeaseTime && length >= 4 && !found.leaseTime) {
            std::uint32_t seconds = 0;
            for (std::size_t k = 0; k < 4; ++k) seconds = (seconds << 8) | static_cast<std::uint8_t>(data[k]);
            found.leaseTime = seconds;
        } else if (code == kOptionOverload && length >= 1) {
            found.overload = static_cast<std::uint8_t>(data[0]);
        }
        i += 2 + length;
    }
}

std::string dotted(const std::array<std::uint8_t, 4>& a) {
    std::string text;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (i != 0) text += '.';
        text += std::to_string(a[i]);
    }
    return text;
}

// ---- files ---------------------------------------------------------------------------

// An interface name is used as a file name below; anything that could leave the folder
// is refused.
bool safeFileName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::optional<std::string> readLease(const std::filesystem::path& path) {
    return readFileBounded(path, kLeaseFileLimit);
}

// Regular-looking file names of a folder, sorted, at most kMaxFolderEntries of them.
std::vector<std::string> folderEntries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    std::filesystem::directory_iterator it(folder, error);
    if (error) return names;
    for (const std::filesystem::directory_iterator end; it != end && !error; it.increment(error)) {
        if (names.size() >= kMaxFolderEntries) break;
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

using Counts = std::function<bool(const Lease&)>;

void merge(Lease& into, Lease&& from, const Counts& counts) {
    if (!from.namesAdapter || !counts(from)) return;
    into.namesAdapter = true;
    if (into.server.empty()) into.server = std::move(from.server);
    if (into.file.empty()) into.file = std::move(from.file);
    if (into.address.empty()) into.address = std::move(from.address);
    if (!into.expires) into.expires = from.expires;
}

// The lease as read from `file`: a lifetime counts from when the file was written.
Lease from(Lease lease, const std::filesystem::path& file) {
    lease.file = file;
    struct stat status {};
    if (lease.lifetime && !lease.expires && ::stat(file.c_str(), &status) == 0)
        lease.expires = static_cast<std::int64_t>(status.st_mtime) + *lease.lifetime;
    return lease;
}

}  // namespace

Lease parseKeyValueLease(std::string_view text) {
    Lease lease;
    std::string address;
    std::string server;
    while (!text.empty()) {
        const auto eol = text.find('\n');
        const std::string_view line = trim(text.substr(0, eol));
        text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
        if (line.empty() || line[0] == '#' || line[0] == ';' || line[0] == '[') continue;
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string_view key = trim(line.substr(0, equals));
        const std::string_view value = trim(line.substr(equals + 1));
        if ((key == "ADDRESS" || key == "ip_address") && !value.empty())
            address = value;
        else if (key == "SERVER_ADDRESS" || key == "dhcp_server_identifier")
            server = value;
        else if (key == "LIFETIME" && number(value) && *number(value) >= 0 &&
                 *number(value) < kInfiniteLease)
            lease.lifetime = static_cast<std::uint32_t>(*number(value));
        else if (key == "expiry" && number(value))
            lease.expires = number(value);
    }
    lease.namesAdapter = !address.empty() || !server.empty();
    lease.address = std::move(address);
    lease.server = std::move(server);
    return lease;
}

Lease parseDhclientLeases(std::string_view text, std::string_view ifname) {
    Lease result;
    DhclientLexer lexer(text);
    for (Token t = lexer.next(); t.kind != TokenKind::End; t = lexer.next()) {
        if (t.kind == TokenKind::Word && t.text == "lease") {
            Token open = lexer.next();
            if (open.kind != TokenKind::Open) {
                if (!skipStatement(lexer, std::move(open))) break;
                continue;
            }
            const auto lease = readLeaseBlock(lexer);
            if (!lease) break;
            if (lease->interface == ifname) {
                result = {};
                result.namesAdapter = true;
                result.server = lease->server;
                result.address = lease->address;
                result.expires = lease->expires;
            }
        } else if (!skipStatement(lexer, std::move(t))) {
            break;
        }
    }
    return result;
}

Lease parseDhcpMessage(std::string_view bytes) {
    if (bytes.size() < kOptionsOffset) return {};
    for (std::size_t i = 0; i < kMagicCookie.size(); ++i)
        if (static_cast<std::uint8_t>(bytes[kCookieOffset + i]) != kMagicCookie[i]) return {};
    DhcpOptions options;
    scanOptions(bytes.substr(kOptionsOffset), options);
    // Option overload moves further options into the file and sname fields.
    if (options.overload & 1)
        scanOptions(bytes.substr(kFileOffset, kCookieOffset - kFileOffset), options);
    if (options.overload & 2)
        scanOptions(bytes.substr(kSnameOffset, kFileOffset - kSnameOffset), options);
    Lease lease;
    lease.namesAdapter = true;
    if (options.server) lease.server = dotted(*options.server);
    std::array<std::uint8_t, 4> yiaddr{};
    for (std::size_t k = 0; k < yiaddr.size(); ++k)
        yiaddr[k] = static_cast<std::uint8_t>(bytes[kYiaddrOffset + k]);
    if (yiaddr != std::array<std::uint8_t, 4>{}) lease.address = dotted(yiaddr);
    if (options.leaseTime && *options.leaseTime != kInfiniteLease) lease.lifetime = options.leaseTime;
    return lease;
}

bool isNetworkManagerLeaseOf(std::string_view fileName, std::string_view ifname) {
    constexpr std::string_view kSuffix = ".lease";
    constexpr std::size_t kUuidLength = 36;
    if (ifname.empty() || !fileName.ends_with(kSuffix)) return false;
    fileName.remove_suffix(kSuffix.size());
    // The client prefix carries no '-', the uuid always 36 characters; what follows them
    // is the interface name, which may itself contain '-'.
    const auto dash = fileName.find('-');
    if (dash == std::string_view::npos || dash == 0) return false;
    const std::size_t nameStart = dash + 1 + kUuidLength + 1;
    if (fileName.size() <= nameStart || fileName[nameStart - 1] != '-') return false;
    return fileName.substr(nameStart) == ifname;
}

namespace {

Lease findLeaseWhere(const std::filesystem::path& root, std::string_view ifname, unsigned ifindex,
                     const Counts& counts) {
    Lease result;
    const std::string index = std::to_string(ifindex);

    if (ifindex != 0) {
        const auto networkd = root / "run/systemd/netif/leases" / index;
        if (const auto text = readLease(networkd))
            merge(result, from(parseKeyValueLease(*text), networkd), counts);
        // NetworkManager keeps this file for every device it manages, DHCP or not.
        const auto device = root / "run/NetworkManager/devices" / index;
        if (const auto text = readLease(device)) {
            Lease lease = parseKeyValueLease(*text);
            lease.namesAdapter = !lease.server.empty();
            merge(result, from(std::move(lease), device), counts);
        }
    }
    if (!safeFileName(ifname)) return result;

    const auto nmFolder = root / "var/lib/NetworkManager";
    for (const auto& name : folderEntries(nmFolder)) {
        if (!isNetworkManagerLeaseOf(name, ifname)) continue;
        if (const auto text = readLease(nmFolder / name)) {
            Lease lease = parseDhclientLeases(*text, ifname);
            if (!lease.namesAdapter) lease = parseKeyValueLease(*text);
            merge(result, from(std::move(lease), nmFolder / name), counts);
        }
    }

    const auto dhclientFolder = root / "var/lib/dhcp";
    Lease dhclient;
    for (const auto& name : folderEntries(dhclientFolder)) {
        if (!name.starts_with("dhclient") || !name.ends_with(".leases")) continue;
        if (const auto text = readLease(dhclientFolder / name)) {
            Lease lease = from(parseDhclientLeases(*text, ifname), dhclientFolder / name);
            if (lease.namesAdapter && counts(lease)) dhclient = std::move(lease);
        }
    }
    merge(result, std::move(dhclient), counts);

    const auto dhcpcd = root / "var/lib/dhcpcd" / (std::string(ifname) + ".lease");
    if (const auto bytes = readLease(dhcpcd))
        merge(result, from(parseDhcpMessage(*bytes), dhcpcd), counts);
    return result;
}

}  // namespace

Lease findLease(const std::filesystem::path& root, std::string_view ifname, unsigned ifindex) {
    return findLeaseWhere(root, ifname, ifindex, [](const Lease&) { return true; });
}

bool leaseHolds(const Lease& lease, const std::vector<std::string>& addresses, std::int64_t now) {
    return !lease.address.empty() &&
           std::find(addresses.begin(), addresses.end(), lease.address) != addresses.end() &&
           (!lease.expires || *lease.expires > now);
}

Lease findCurrentLease(const std::filesystem::path& root, std::string_view ifname,
                       unsigned ifindex, const std::vector<std::string>& addresses,
                       std::int64_t now) {
    return findLeaseWhere(root, ifname, ifindex,
                          [&](const Lease& lease) { return leaseHolds(lease, addresses, now); });
}

std::filesystem::path leaseRootFromEnvironment() {
    const char* root = ::secure_getenv("VELQORIN_LEASE_ROOT");
    return root != nullptr && *root != '\0' ? std::filesystem::path(root) : std::filesystem::path("/");
}

}  // namespace velqorin
