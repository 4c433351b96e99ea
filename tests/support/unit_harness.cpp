#include "tests/support/unit_harness.h"

#include "host/qxbase/format_list.h"
#include "sdk/identifiers.h"

namespace support {

UnitHarness::UnitHarness(fixtures::Bytes bytes, std::string path, std::vector<uint32_t> formats, Emulator emulator)
    : file_(host::FileObject::fromBytes(std::move(bytes), std::move(path))),
      rot_(host::RunningObjectTable::createDefault()) {
    file_->setFormat(formats.empty() ? 0 : formats.front());
    host::writeFormatList(static_cast<IQEArchive*>(file_), formats);
    if (emulator == Emulator::Host) emulator_ = host::Emulator::create(file_);
    info_.archive = static_cast<IQEArchive*>(file_);
    info_.stream = static_cast<IQEStream*>(file_);
    info_.rot = static_cast<IQERunningObjectTable*>(rot_);
    info_.flags = 0;
    param_.emulator = emulator_.get();
}

UnitHarness::~UnitHarness() {
    emulator_.reset();  // it holds a reference to the file
    file_->Release();
    rot_->Release();
}

std::string UnitHarness::renamedTo() const {
    std::string name;
    file_->getStringProperty(qe::PID_File_RenameName, &name);
    return name;
}

uint32_t UnitHarness::scan(CScanEXVirus& unit) {
    if (!unit.NeedToScan(&info_)) return 0;
    if (!unit.Scan(&info_, &param_)) return 0;
    return unit.WorkIfVirus(static_cast<IQEStream*>(file_), 0);
}

uint32_t scanWith(CreateScanExUnitFn create, const fixtures::Bytes& bytes) {
    std::unique_ptr<CScanEXVirus> unit(create());
    UnitHarness run(bytes);
    return run.scan(*unit);
}

}  // namespace support
