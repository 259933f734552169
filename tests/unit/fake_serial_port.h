// The unit tests' backend of the library's OS seam: each slot's port is wired to an in-process
// supply_model, time is virtual (a read that times out advances it by 100 ms, Pause advances
// it), and every byte written, purge and pause is recorded.
#ifndef K7340_FAKE_SERIAL_PORT_H
#define K7340_FAKE_SERIAL_PORT_H

#include "supply_model.h"

#include <cstdint>
#include <vector>

enum FakeEventKind { FAKE_WRITE, FAKE_PURGE, FAKE_PAUSE, FAKE_READ };

struct FakeEvent {
    FakeEventKind kind;
    int64_t atUs;                     // virtual time when it began
    std::vector<unsigned char> bytes; // written or read bytes
    unsigned pauseMs;
};

// Closes every slot the library holds open, then gives every port a fresh supply with the
// default configuration, an empty log, and restarts the clock at 0.
void FakeReset();
void FakeConfigure(int index, const SupplyConfig &config);
SupplyModel *FakeModel(int index);
SupplyFaults *FakeFaults(int index);
int64_t FakeNowUs();
const std::vector<FakeEvent> &FakeEvents(int index);
void FakeClearEvents(int index);
// All bytes written to the port, concatenated.
std::vector<unsigned char> FakeWritten(int index);
void FakeSetOpenResult(int index, int code);
int FakeOpenedComPort(int index);
void FakeSetWriteFails(int index, bool fails);
// The next command written is answered with exactly these bytes instead of the supply's reply.
void FakeQueueReply(int index, const std::vector<unsigned char> &bytes);
// A well-formed reply frame: length, status, data, checksum.
std::vector<unsigned char> FakeReplyFrame(int status, const std::vector<unsigned char> &data);
// Bytes already waiting in the receive buffer, as an earlier unread reply would be.
void FakeInjectInput(int index, const std::vector<unsigned char> &bytes);
// From now on each read claims success with *count set to claimed, whatever arrived (a backend
// that breaks its contract); -1 makes reads honest again. After 100 such reads in a row the next
// one fails, so that a core spinning on them ends.
void FakeSetReadClaims(int index, int claimed);

#endif
