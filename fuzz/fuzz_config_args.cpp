// Fuzz target: arbitrary argument vectors for k7340config's parser. The input is split at zero
// bytes into arguments (a byte 0x01 alone stands for a null entry). Checks: the outcome is one of
// the parser's codes, a number converts exactly as the C library's strtoll clamped to 32 bits
// does, and the values handed on are determined and within the utility's bounds.
#include "config_args.h"
#include "fuzz_check.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

static const int MAX_ARGS = 8;
static const size_t MAX_TEXT = 256;

// What "%d" reads, from the C library: leading white space, sign, decimal digits, clamped.
static int ReferenceConvert(const char *text, int *value) {
    if (text == nullptr)
        return 0;
    char *end;
    errno = 0;
    const long long wide = strtoll(text, &end, 10);
    if (end == text)
        return 0;
    *value = wide > INT_MAX ? INT_MAX : wide < INT_MIN ? INT_MIN : static_cast<int>(wide);
    return 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static char texts[MAX_ARGS][MAX_TEXT];
    const char *argv[MAX_ARGS + 1];
    int argc = 0;
    size_t at = 0;
    while (at <= size && argc < MAX_ARGS) {
        size_t length = 0;
        while (at + length < size && data[at + length] != 0 && length < MAX_TEXT - 1)
            length++;
        memcpy(texts[argc], data + at, length);
        texts[argc][length] = '\0';
        argv[argc] = length == 1 && texts[argc][0] == 1 ? nullptr : texts[argc];
        argc++;
        at += length + 1;
    }
    argv[argc] = nullptr;

    for (int i = 0; i < argc; i++) {
        int mine = 0x5A5A5A5A, reference = 0x5A5A5A5A;
        const int found = ConvertDecimal(argv[i], &mine);
        FUZZ_CHECK(found == ReferenceConvert(argv[i], &reference), "argument %d: found %d", i,
                   found);
        FUZZ_CHECK(mine == reference, "argument %d: %d where strtoll gives %d", i, mine, reference);
    }

    ConfigArgs args = {-777, -777, -777};
    const int outcome = ParseConfigArgs(argc, argv, &args);
    FUZZ_CHECK(outcome >= CONFIG_ARGS_OK && outcome <= CONFIG_ARGS_USAGE, "outcome %d", outcome);
    if (argc != 4) {
        FUZZ_CHECK(outcome == CONFIG_ARGS_WRONG_COUNT, "%d arguments gave %d", argc, outcome);
    }
    if (outcome != CONFIG_ARGS_OK) {
        FUZZ_CHECK(args.comPort == -777 && args.vrange == -777 && args.irange == -777,
                   "refused arguments were handed on");
        return 0;
    }
    int comPort = 0, vrange = 0, irange = 0;
    FUZZ_CHECK(ReferenceConvert(argv[1], &comPort) && ReferenceConvert(argv[2], &vrange) &&
                   ReferenceConvert(argv[3], &irange),
               "accepted an argument without a number");
    FUZZ_CHECK(args.comPort == comPort && args.vrange == vrange && args.irange == irange,
               "handed on %d %d %d for %d %d %d", args.comPort, args.vrange, args.irange, comPort,
               vrange, irange);
    FUZZ_CHECK(vrange >= CONFIG_VRANGE_LOWEST && vrange <= CONFIG_VRANGE_HIGHEST &&
                   irange >= CONFIG_IRANGE_LOWEST && irange <= CONFIG_IRANGE_HIGHEST,
               "ranges %d/%d accepted", vrange, irange);
    return 0;
}
