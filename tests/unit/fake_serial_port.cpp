#include "fake_serial_port.h"

#include "k7340.h"
#include "serial_port.h"
#include "test_frames.h"

#include <algorithm>
#include <deque>

namespace {

const int64_t READ_TIMEOUT_US = PORT_READ_TIMEOUT_MS * 1000;
const int CLAIMS_BEFORE_FAILING = 100;

struct FakePort {
    SupplyModel model;
    std::vector<FakeEvent> events;
    std::vector<unsigned char> stale;
    std::deque<std::vector<unsigned char>> scripted;
    int openResult = 0;
    int comPort = -1;
    bool writeFails = false;
    int claimed = -1;
    int claims = 0;
};

FakePort g_ports[K7340_MAX_DEVICES];
int64_t g_nowUs = 0;

void Record(int index, FakeEventKind kind, std::vector<unsigned char> bytes, unsigned pauseMs) {
    g_ports[index].events.push_back(FakeEvent{kind, g_nowUs, std::move(bytes), pauseMs});
}

} // namespace

void FakeReset() {
    for (int i = 0; i < K7340_MAX_DEVICES; i++)
        K7340_CloseDevice(i);
    g_nowUs = 0;
    for (FakePort &port : g_ports) {
        SupplyConfig config;
        SupplyInit(&port.model, &config);
        port.events.clear();
        port.stale.clear();
        port.scripted.clear();
        port.openResult = 0;
        port.comPort = -1;
        port.writeFails = false;
        port.claimed = -1;
    }
}

void FakeConfigure(int index, const SupplyConfig &config) {
    SupplyInit(&g_ports[index].model, &config);
}
SupplyModel *FakeModel(int index) {
    return &g_ports[index].model;
}
SupplyFaults *FakeFaults(int index) {
    return SupplyFaultsOf(&g_ports[index].model);
}
int64_t FakeNowUs() {
    return g_nowUs;
}
const std::vector<FakeEvent> &FakeEvents(int index) {
    return g_ports[index].events;
}
void FakeClearEvents(int index) {
    g_ports[index].events.clear();
}
void FakeSetOpenResult(int index, int code) {
    g_ports[index].openResult = code;
}
int FakeOpenedComPort(int index) {
    return g_ports[index].comPort;
}
void FakeSetWriteFails(int index, bool fails) {
    g_ports[index].writeFails = fails;
}

void FakeSetReadClaims(int index, int claimed) {
    g_ports[index].claimed = claimed;
    g_ports[index].claims = 0;
}

void FakeInjectInput(int index, const std::vector<unsigned char> &bytes) {
    g_ports[index].stale.insert(g_ports[index].stale.end(), bytes.begin(), bytes.end());
}

void FakeQueueReply(int index, const std::vector<unsigned char> &bytes) {
    g_ports[index].scripted.push_back(bytes);
}

std::vector<unsigned char> FakeReplyFrame(int status, const std::vector<unsigned char> &data) {
    return ReplyFrame(status, data);
}

std::vector<unsigned char> FakeWritten(int index) {
    std::vector<unsigned char> all;
    for (const FakeEvent &e : g_ports[index].events)
        if (e.kind == FAKE_WRITE)
            all.insert(all.end(), e.bytes.begin(), e.bytes.end());
    return all;
}

int OpenPort(int index, int comPort) {
    g_ports[index].comPort = comPort;
    return g_ports[index].openResult;
}

int PortRead(int index, unsigned char *buf, int *count) {
    FakePort &port = g_ports[index];
    const int wanted = *count;
    const int64_t startUs = g_nowUs;
    if (port.claimed >= 0) {
        Record(index, FAKE_READ, {}, 0);
        const bool fails = ++port.claims > CLAIMS_BEFORE_FAILING;
        *count = fails ? 0 : port.claimed;
        return fails ? K7340_ERR_READ : K7340_OK;
    }
    const int64_t deadline = g_nowUs + READ_TIMEOUT_US;
    int received = 0;
    while (received < wanted) {
        SupplyAdvance(&port.model, g_nowUs);
        const int fromStale = std::min<int>(wanted - received, static_cast<int>(port.stale.size()));
        std::copy_n(port.stale.begin(), fromStale, buf + received);
        port.stale.erase(port.stale.begin(), port.stale.begin() + fromStale);
        received += fromStale;
        received += SupplyTakeOutput(&port.model, buf + received, wanted - received, g_nowUs);
        if (received == wanted)
            break;
        const int64_t next = SupplyNextOutputUs(&port.model);
        if (next < 0 || next > deadline) {
            g_nowUs = deadline;
            break;
        }
        g_nowUs = std::max(g_nowUs, next);
    }
    *count = received;
    port.events.push_back(
        FakeEvent{FAKE_READ, startUs, std::vector<unsigned char>(buf, buf + received), 0});
    return received > 0 ? K7340_OK : K7340_ERR_READ;
}

int PortWrite(int index, const unsigned char *buf, int count) {
    FakePort &port = g_ports[index];
    Record(index, FAKE_WRITE, std::vector<unsigned char>(buf, buf + count), 0);
    if (port.writeFails)
        return K7340_ERR_WRITE;
    if (!port.scripted.empty()) {
        FakeInjectInput(index, port.scripted.front());
        port.scripted.pop_front();
        return K7340_OK;
    }
    SupplyReceive(&port.model, buf, count, g_nowUs);
    return K7340_OK;
}

void PortPurgeInput(int index) {
    FakePort &port = g_ports[index];
    Record(index, FAKE_PURGE, {}, 0);
    port.stale.clear();
    SupplyAdvance(&port.model, g_nowUs);
    unsigned char drop[64];
    while (SupplyTakeOutput(&port.model, drop, sizeof drop, g_nowUs) > 0) {
    }
}

int PortClose(int) {
    return 0;
}

// Pauses are per process, not per port: recorded on every port that has been opened.
void Pause(unsigned milliseconds) {
    for (int i = 0; i < K7340_MAX_DEVICES; i++)
        if (g_ports[i].comPort >= 0)
            Record(i, FAKE_PAUSE, {}, milliseconds);
    g_nowUs += static_cast<int64_t>(milliseconds) * 1000;
}

long long MonotonicMs() {
    return g_nowUs / 1000;
}
