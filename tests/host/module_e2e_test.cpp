// The embedding API against the real module (libremedy.so), loaded by path.
#include <gtest/gtest.h>

#include <regex>

#include "host/classify.h"
#include "host/module_host.h"
#include "sdk/format_codes.h"
#include "sdk/identifiers.h"
#include "tests/fixtures/pe_builder.h"
#include "tests/support/module_driver.h"

namespace {

using fixtures::Bytes;

class RealModule : public support::ModuleEnginesTest {
protected:
    host::FileObject* classified(Bytes bytes, const std::string& name) {
        host::FileObject* file = host::FileObject::fromBytes(std::move(bytes), name);
        host::classify(file);
        return file;
    }
};

TEST_F(RealModule, VersionTextIsOneLineOfTheExpectedShape) {
    EXPECT_TRUE(std::regex_match(module_->versionText(),
                                 std::regex(R"(libremedy\.so version: Little-Endian x64 \d+\.\d+\.\d+\.\d+ \d{14})")))
        << module_->versionText();
}

TEST_F(RealModule, UnknownClassIdentifierHasNoFactory) {
    IQXClassFactory* factory = reinterpret_cast<IQXClassFactory*>(&factory);
    EXPECT_EQ(module_->classFactory(qe::CLSID_CQEEngineUnkVirusEx, &factory), QE_E_INVALIDARG);
    EXPECT_EQ(factory, nullptr);
    EXPECT_EQ(module_->classFactory(qe::IID_IQEStream, &factory), QE_E_INVALIDARG);
}

TEST_F(RealModule, EnginesHoldTheTableUntilTheyAreReleased) {
    EXPECT_GT(rot_->AddRef(), 2u);  // the test's reference, this one and the engines'
    rot_->Release();
    engines_.reset();
    EXPECT_EQ(rot_->AddRef(), 2u);  // every engine released its table
    rot_->Release();
}

struct CleanCase {
    const char* name;
    Bytes (*bytes)();
    const char* fileName;
    uint32_t format;
};

class RealModuleCleanFile : public RealModule, public ::testing::WithParamInterface<CleanCase> {};

TEST_P(RealModuleCleanFile, ScansToNothingFound) {
    const CleanCase& c = GetParam();
    host::FileObject* file = classified(c.bytes(), c.fileName);
    ASSERT_EQ(file->format(), c.format);
    const Bytes before(file->bytes().begin(), file->bytes().end());
    {
        host::ScanTarget target(file);
        host::ScanFinding finding = engines_->scan(target);
        EXPECT_FALSE(finding.failed) << std::hex << finding.engineResult;
        EXPECT_EQ(finding.virusId, 0u);
        EXPECT_EQ(engines_->killFound(target), KILL_FAILED);
    }
    EXPECT_EQ(file->bytes(), before);  // a scan changes nothing
    EXPECT_EQ(file->refCount(), 1u);   // the module released every interface it took
    file->Release();
}

INSTANTIATE_TEST_SUITE_P(
    Files, RealModuleCleanFile,
    ::testing::Values(
        CleanCase{"text", [] { return Bytes{'h', 'e', 'l', 'l', 'o', '\n'}; }, "a.txt", qe::FORMAT_FILE},
        CleanCase{"com", [] { return Bytes{0xB4, 0x4C, 0xCD, 0x21}; }, "a.com", qe::FORMAT_COM},
        CleanCase{"pe",
                  [] { return fixtures::PeBuilder().addSection({".text", Bytes(32, 0xC3)}).entryInSection(0, 0).build(); },
                  "a.exe", qe::FORMAT_PE},
        CleanCase{"jpeg", [] { return Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10}; }, "a.jpg", qe::FORMAT_JPEG},
        CleanCase{"empty", [] { return Bytes{}; }, "empty", qe::FORMAT_FILE}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RealModule, KillEngineRefusesWhatItHasNoUnitFor) {
    host::FileObject* com = classified({0xB4, 0x4C, 0xCD, 0x21}, "a.com");
    host::FileObject* flash = classified({'F', 'W', 'S', 9, 0, 0, 0, 0}, "a.swf");
    const Bytes before(com->bytes().begin(), com->bytes().end());
    {
        host::ScanTarget comTarget(com), flashTarget(flash);
        EXPECT_EQ(engines_->kill(comTarget, host::KillRequest::byId(0x1FFFFFFF)), KILL_FAILED);
        EXPECT_EQ(engines_->kill(flashTarget, host::KillRequest::byMethod(1)), KILL_FAILED);  // no kill slot
        host::KillRequest methodTwo;
        methodTwo.method = 2;
        EXPECT_EQ(engines_->kill(comTarget, methodTwo), KILL_FAILED);
    }
    EXPECT_EQ(com->bytes(), before);
    EXPECT_EQ(com->refCount(), 1u);
    com->Release();
    flash->Release();
}

}  // namespace
