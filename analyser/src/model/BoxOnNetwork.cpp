#include "velqorin/BoxOnNetwork.h"

#include <openssl/crypto.h>

#include <cstring>
#include <string_view>

#include "model/AdapterName.h"

namespace {

constexpr std::size_t kAdapterNameMax = CVelqorinBoxOnNetwork::kAdapterNameSize - 1;

}  // namespace

CVelqorinBoxOnNetwork::CVelqorinBoxOnNetwork(CVelqorinBoxOnNetwork* previous,
                                             const TAnalyseBuffer* reply,
                                             const char* adapter)
    : storedRecord(*reply), next(nullptr), prev(nullptr), password{} {
    // The name field is read as text only; past its NUL it is left untouched, since
    // clearing 10,000 bytes a box doubled the memory and time a large fleet takes.
    const std::size_t n = adapter != nullptr ? strnlen(adapter, kAdapterNameMax) : 0;
    if (n > 0) std::memcpy(adapterName, adapter, n);
    adapterName[n] = '\0';
    if (previous != nullptr) {
        previous->next = this;
        prev = previous;
    }
}

CVelqorinBoxOnNetwork::~CVelqorinBoxOnNetwork() {
    OPENSSL_cleanse(password, sizeof password);
    if (next != nullptr) next->prev = prev;
    if (prev != nullptr) prev->next = next;
}

char* CVelqorinBoxOnNetwork::getInterfaceName(char* out) const {
    const std::string_view name = velqorin::adapterIdentifier(
        std::string_view(adapterName, strnlen(adapterName, kAdapterNameMax)));
    std::memcpy(out, name.data(), name.size());
    out[name.size()] = '\0';
    return out;
}

unsigned char* CVelqorinBoxOnNetwork::getMac(unsigned char* out) const {
    std::memcpy(out, storedRecord.destinationMac, velqorin::kMacSize);
    out[6] = 0;
    out[7] = 0;
    return out;
}

bool CVelqorinBoxOnNetwork::hasMacAddr(const unsigned char* mac) const {
    return std::memcmp(mac, storedRecord.sourceMac, velqorin::kMacSize) == 0;
}
