#include "module/units/dos/june.h"

#include "module/units/dos/dos_common.h"

using namespace remedy::dos;

// Body of 1919 bytes at the virus start: key word at 83, 1778 sliding words from 117, the host's
// first four bytes at 1870 masked with the word at 1907.
uint32_t CScanJune1919Com::Kill(STScanInfo*, tagScanExParam* param) {
    static constexpr SlidingWordLayout kLayout{1919, 83, 117, 1778, -1, 0x00CF, 1870, 1907};
    return killSlidingWordCom(param, kLayout);
}
