#include "module/units/dos/moran.h"

#include "module/units/dos/dos_common.h"

using namespace remedy::dos;

// Body of 2720 bytes at the virus start: key word at 65, 2363 sliding words from 327 whose mask
// rises with i, the host's first four bytes at 67 masked with the (decrypted) word at 531.
uint32_t CScanMoran2720COM::Kill(STScanInfo*, tagScanExParam* param) {
    static constexpr SlidingWordLayout kLayout{2720, 65, 327, 2363, +1, 0, 67, 531};
    return killSlidingWordCom(param, kLayout);
}
