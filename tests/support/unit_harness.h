// Runs one scan unit directly over a host file object, as an engine would: the file object's
// archive and stream and a default running-object table in STScanInfo, the host's emulator for
// the file in tagScanExParam; NeedToScan, Scan and WorkIfVirus, then Kill on the same unit.
//
//   support::UnitHarness run(bytes, "/docs/file.pdf", {qe::FORMAT_PDF});
//   CScanPdfExploit unit;
//   EXPECT_NE(run.scan(unit), 0u);
//   EXPECT_EQ(run.kill(unit), KILL_REPAIRED);
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/emulator/emulator.h"
#include "host/qxbase/file_object.h"
#include "host/running_object_table.h"
#include "module/frame/scan_unit.h"
#include "tests/fixtures/bytes.h"

namespace support {

class UnitHarness {
public:
    enum class Emulator { Host, None };  // None: the engine could not make one for the file

    // `formats` is the file's format list, the first its current format.
    explicit UnitHarness(fixtures::Bytes bytes, std::string path = {}, std::vector<uint32_t> formats = {0},
                         Emulator emulator = Emulator::Host);
    ~UnitHarness();
    UnitHarness(const UnitHarness&) = delete;
    UnitHarness& operator=(const UnitHarness&) = delete;

    STScanInfo* info() { return &info_; }
    tagScanExParam* param() { return &param_; }
    host::FileObject* file() { return file_; }
    host::ByteView bytes() const { return file_->bytes(); }
    bool removed() const { return file_->removed(); }
    // The name the host was asked to give the file (empty when none).
    std::string renamedTo() const;

    // NeedToScan, Scan and WorkIfVirus as an engine calls them: non-zero when all three agree.
    uint32_t scan(CScanEXVirus& unit);
    uint32_t kill(CScanEXVirus& unit) { return unit.Kill(&info_, &param_); }

private:
    host::FileObject* file_;
    host::RunningObjectTable* rot_;
    std::unique_ptr<host::Emulator> emulator_;
    STScanInfo info_{};
    tagScanExParam param_{};
};

// Scans `bytes` with a fresh unit made by `create`.
uint32_t scanWith(CreateScanExUnitFn create, const fixtures::Bytes& bytes);

// Scans `bytes` with a fresh unit of the given class.
template <class Unit>
uint32_t scanWith(fixtures::Bytes bytes, std::string path = {}, std::vector<uint32_t> formats = {0}) {
    UnitHarness run(std::move(bytes), std::move(path), std::move(formats));
    Unit unit;
    return run.scan(unit);
}

}  // namespace support
