// Frames as the tests build them, independently of the code under test.
#ifndef K7340_TEST_FRAMES_H
#define K7340_TEST_FRAMES_H

#include <vector>

using Bytes = std::vector<unsigned char>;

// The head bytes, the body, then the sum of all of them modulo 256.
inline Bytes WithChecksum(Bytes frame, const Bytes &body) {
    frame.insert(frame.end(), body.begin(), body.end());
    unsigned sum = 0;
    for (unsigned char b : frame)
        sum += b;
    frame.push_back(static_cast<unsigned char>(sum));
    return frame;
}

// Command frame: L = n + 2, payload, (L + payload) mod 256.
inline Bytes CommandFrame(const Bytes &payload) {
    return WithChecksum({static_cast<unsigned char>(payload.size() + 2)}, payload);
}

// Reply frame: N + 3, status, data, sum of the previous bytes mod 256.
inline Bytes ReplyFrame(int status, const Bytes &data) {
    return WithChecksum(
        {static_cast<unsigned char>(data.size() + 3), static_cast<unsigned char>(status)}, data);
}

#endif
