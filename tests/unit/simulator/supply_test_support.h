// Helpers for the supply model's tests: frames as the host builds them and the output as it
// leaves the supply over time.
#ifndef K7340_SUPPLY_TEST_SUPPORT_H
#define K7340_SUPPLY_TEST_SUPPORT_H

#include "supply_model.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "test_frames.h"

// A piece of output: the bytes released together and when.
struct Piece {
    int64_t atUs;
    Bytes bytes;
    bool operator==(const Piece &o) const { return atUs == o.atUs && bytes == o.bytes; }
};

inline std::ostream &operator<<(std::ostream &os, const Piece &p) {
    os << "{" << p.atUs << "us:";
    for (unsigned char b : p.bytes)
        os << " " << std::hex << int(b) << std::dec;
    return os << "}";
}

class SupplyTest : public ::testing::Test {
  protected:
    SupplyTest() : model_(new SupplyModel) { Init(SupplyConfig()); }

    void Init(const SupplyConfig &config) { SupplyInit(model_.get(), &config); }
    SupplyModel *m() { return model_.get(); }
    SupplyFaults *faults() { return SupplyFaultsOf(model_.get()); }

    void Send(const Bytes &bytes, int64_t atUs) {
        SupplyReceive(m(), bytes.data(), static_cast<int>(bytes.size()), atUs);
    }

    // Everything released up to and including untilUs, in the pieces it came in.
    std::vector<Piece> Drain(int64_t untilUs) {
        std::vector<Piece> pieces;
        for (int64_t next; (next = SupplyNextOutputUs(m())) >= 0 && next <= untilUs;) {
            unsigned char buf[SUPPLY_OUT_MAX];
            int n = SupplyTakeOutput(m(), buf, sizeof buf, next);
            EXPECT_GT(n, 0) << "next output time reported but nothing released";
            if (n <= 0)
                break;
            pieces.push_back(Piece{next, Bytes(buf, buf + n)});
        }
        return pieces;
    }

    // One exchange at atUs: the frame for payload, and all the output released by then.
    Bytes Exchange(const Bytes &payload, int64_t atUs) {
        Send(CommandFrame(payload), atUs);
        Bytes all;
        for (const Piece &p : Drain(atUs))
            all.insert(all.end(), p.bytes.begin(), p.bytes.end());
        return all;
    }

    // Status byte carried by the reply to a meter read at atUs.
    int StatusAt(int64_t atUs) {
        Bytes reply = Exchange({0x00}, atUs);
        return reply.size() == 5 ? reply[1] : -1;
    }

    // 16-bit value of meter channel at atUs.
    int MeterAt(int channel, int64_t atUs) {
        Bytes reply = Exchange({static_cast<unsigned char>(channel)}, atUs);
        return reply.size() == 5 ? reply[2] << 8 | reply[3] : -1;
    }

  private:
    std::unique_ptr<SupplyModel> model_;
};

#endif
