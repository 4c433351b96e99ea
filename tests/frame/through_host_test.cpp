// The engines as the host drives them: every format through both scan engines and every
// kind of kill request, over the shipped tables.
#include <gtest/gtest.h>

#include "host/module_host.h"
#include "sdk/format_codes.h"
#include "tests/frame/frame_test_support.h"
#include "tests/support/module_driver.h"

namespace {

TEST(ThroughHost, ShippedTablesScanAndKillEveryFormat) {
    host::Engines& engines = support::sharedEngines();

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        uint32_t format;
    } cases[] = {
        {"PE", frametest::smallPe(), qe::FORMAT_PE},
        {"MZ", {'M', 'Z', 0x20, 0, 1, 0, 0, 0, 2, 0}, qe::FORMAT_MZ},
        {"COM", {0xE9, 0x10, 0x00, 0x90}, qe::FORMAT_COM},
        {"script", {'M', 's', 'g', 'B', 'o', 'x', ' ', '1'}, qe::FORMAT_VBS},
        {"ordinary", {'h', 'e', 'l', 'l', 'o'}, qe::FORMAT_FILE},
        {"Flash", {'F', 'W', 'S', 9, 20, 0, 0, 0}, qe::FORMAT_SWF},
        {"JPEG", {0xFF, 0xD8, 0xFF, 0xE0}, qe::FORMAT_JPEG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host::FileObject* file = frametest::makeFile(c.bytes, c.format);
        {
            host::ScanTarget target(file);
            const host::ScanFinding finding = engines.scan(target);
            EXPECT_FALSE(finding.failed);
            EXPECT_EQ(finding.virusId, 0u) << "no unit matches these small clean files";
            EXPECT_EQ(engines.kill(target, host::KillRequest::byId(0x40003DDD)), KILL_FAILED);
            EXPECT_EQ(engines.kill(target, host::KillRequest::byMethod(30)), KILL_FAILED);  // no such method
            EXPECT_EQ(engines.kill(target, host::KillRequest::special(10, 0x10)), KILL_FAILED);
        }
        EXPECT_EQ(file->bytes(), c.bytes) << "nothing repaired, nothing changed";
        EXPECT_FALSE(file->removed());
        file->Release();
    }
}

}  // namespace
