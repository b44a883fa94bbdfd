#include "velqorin/NetworkAnalyse.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <random>
#include <vector>

#include "model/BoxIndex.h"

using velqorin::boxIndexOf;

namespace {

void unlinkAndDestroy(CVelqorinNetworkAnalyse& a, CVelqorinBoxOnNetwork* box) {
    if (box == a.firstBox) a.firstBox = box->next;
    if (box == a.lastBox) a.lastBox = box->prev;
    delete box;
    --a.boxCount;
}

void appendBox(CVelqorinNetworkAnalyse& a, const TAnalyseBuffer* reply, const char* adapterName) {
    a.lastBox = new CVelqorinBoxOnNetwork(a.lastBox, reply, adapterName);
    if (a.firstBox == nullptr) a.firstBox = a.lastBox;
    ++a.boxCount;
}

}  // namespace

CVelqorinNetworkAnalyse::CVelqorinNetworkAnalyse()
    : firstBox(nullptr),
      lastBox(nullptr),
      firstInterface(nullptr),
      boxCount(0),
      interfaceCount(0),
      analyserToken{} {
    // A generator of this object's own, seeded from the system's random source: the
    // process-wide one would be shared with the caller and its threads, and seeding with
    // the time gave two analysers made in the same second one token. It must stay
    // printable ('0' to 'y') because boxes treat it as text.
    std::random_device entropy;
    std::seed_seq seed{entropy(), entropy(), entropy(), entropy()};
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> character(0, 73);
    for (std::size_t i = 0; i < kTokenLength; ++i)
        analyserToken[i] = static_cast<char>('0' + character(generator));
    analyserToken[kTokenLength] = '\0';
}

CVelqorinNetworkAnalyse::~CVelqorinNetworkAnalyse() {
    reset();
    velqorin::forgetBoxIndex(*this);
}

void CVelqorinNetworkAnalyse::reset() {
    boxCount = 0;
    if (firstBox != nullptr) {
        while (firstBox->next != nullptr) delete firstBox->next;
        delete firstBox;
    }
    firstBox = nullptr;
    lastBox = nullptr;
    boxIndexOf(*this).clear();
    interfaceCount = 0;
    if (firstInterface != nullptr) {
        while (firstInterface->next != nullptr) delete firstInterface->next;
        delete firstInterface;
    }
    firstInterface = nullptr;
}

int CVelqorinNetworkAnalyse::CountBox() const { return boxCount; }

int CVelqorinNetworkAnalyse::CountNetworkInterfaces() const { return interfaceCount; }


int CVelqorinNetworkAnalyse::SerialAnswers(const CVelqorinBoxOnNetwork* box,
                                           TAnalyseBuffer* replies, int max) const {
    auto& index = boxIndexOf(*this);
    index.follow(*this);
    if (box == nullptr || !index.lists(box)) return 0;
    std::vector<const TAnalyseBuffer*> stations{&box->storedRecord};
    if (const velqorin::SerialAnswers* answers = index.answersFor(*box))
        for (const TAnalyseBuffer& reply : answers->replies())
            if (std::memcmp(reply.sourceMac, box->storedRecord.sourceMac, velqorin::kMacSize) != 0)
                stations.push_back(&reply);
    for (int i = 0; replies != nullptr && i < max && i < static_cast<int>(stations.size()); ++i)
        replies[i] = *stations[static_cast<std::size_t>(i)];
    return static_cast<int>(stations.size());
}

int CVelqorinNetworkAnalyse::Delete(CVelqorinBoxOnNetwork* box) {
    // A stale or foreign pointer would corrupt both lists and the count; callers hold
    // pointers across sweeps, so check membership rather than trust it.
    try {
        auto& index = boxIndexOf(*this);
        index.follow(*this);
        if (box == nullptr || !index.lists(box)) return boxCount;
        index.removing(box);
        unlinkAndDestroy(*this, box);
        index.followed(*this);
    } catch (const std::exception&) {
        // Memory ran out in the index: the list is as it was, the index is built again.
        velqorin::forgetBoxIndex(*this);
    }
    return boxCount;
}

int CVelqorinNetworkAnalyse::AddBox(const TAnalyseBuffer* reply, const char* adapterName) {
    if (reply == nullptr) return boxCount;
    if (adapterName == nullptr) adapterName = "";
    // No exception leaves here for a caller of the C interface: memory running out drops
    // the reply (after a replaced entry, the entry with it), and the index is built again.
    try {
        // The first box of this adapter and serial number, found without walking the list.
        auto& index = boxIndexOf(*this);
        if (CVelqorinBoxOnNetwork* box = index.find(*this, *reply, adapterName)) {
            const bool ours = std::strncmp(reply->analyserToken, analyserToken, kTokenSize) == 0;
            index.noteAnswer(box->storedRecord, *reply, adapterName, ours);
            // Only an answer to our own request may replace what we already hold; an answer
            // to another analyser's request is older news.
            if (!ours) return boxCount;
            index.removing(box);
            unlinkAndDestroy(*this, box);
        }
        appendBox(*this, reply, adapterName);
        index.appended(*this, lastBox);
    } catch (const std::exception&) {
        velqorin::forgetBoxIndex(*this);
    }
    return boxCount;
}

CVelqorinNetworkInterface* CVelqorinNetworkAnalyse::getNetworkInterface(
    const unsigned char* mac) const {
    unsigned char recordMac[8];
    for (auto* rec = firstInterface; rec != nullptr; rec = rec->next) {
        if (std::memcmp(rec->getMac(recordMac), mac, sizeof recordMac) == 0) return rec;
    }
    return nullptr;
}

int CVelqorinNetworkAnalyse::deleteNetworkInterface(CVelqorinNetworkInterface* rec) {
    for (auto* r = firstInterface; r != nullptr; r = r->next) {
        if (r == rec) {
            if (rec == firstInterface) firstInterface = rec->next;
            delete rec;
            --interfaceCount;
            break;
        }
    }
    return interfaceCount;
}
