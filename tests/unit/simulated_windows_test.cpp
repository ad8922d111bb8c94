// The simulated Windows allows what Windows allows, beyond the calls the
// program makes today, so that a program that someday relies on it is not
// refused by the simulation alone.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "tests/sim/sim_windows.h"

using namespace sim;

namespace {

constexpr DWORD CREATE_ALWAYS = 2, FILE_MAP_WRITE = 0x2, ERROR_USER_MAPPED_FILE = 1224;

// A handle of "a" opened for reading and sharing reading, as the program opens it.
HANDLE OpenForReading() {
    return CreateFileW(u"a", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

// 48 bytes of reparse data under a tag without the Microsoft bit.
const std::vector<uint8_t>& Reparse() {
    static const std::vector<uint8_t> data = [] {
        std::vector<uint8_t> bytes(48);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i + 1);
        return bytes;
    }();
    return data;
}

// "a" mapped read-only, its file handle then closed, as the program leaves it.
HANDLE MappedAndClosed() {
    HANDLE file = OpenForReading();
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    CloseHandle(file);
    return mapping;
}

TEST(SimulatedWindows, AllowsAndRefusesAsWindowsDoes) {
    struct Case {
        const char* what;
        std::function<bool()> call;  // true where the last call succeeded
        bool succeeds;
        DWORD error;  // the last error where it fails
    } cases[] = {
        {"a mapping keeps none of its closed handle's sharing",
         [] { MappedAndClosed();
              return CreateFileW(u"a", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                 nullptr) != INVALID_HANDLE_VALUE; }, true, 0},
        {"an open handle keeps its sharing",
         [] { OpenForReading();
              return CreateFileW(u"a", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr) != INVALID_HANDLE_VALUE; }, false, 32},
        {"a mapped file cannot be replaced",
         [] { MappedAndClosed();
              return CreateFileW(u"a", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr) !=
                     INVALID_HANDLE_VALUE; }, false, ERROR_USER_MAPPED_FILE},
        {"an unmapped file can",
         [] { CloseHandle(OpenForReading());
              return CreateFileW(u"a", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr) !=
                     INVALID_HANDLE_VALUE && W().files.at(u"a").Size() == 0; }, true, 183},
        {"a read-only mapping gives no view to write",
         [] { return MapViewOfFile(MappedAndClosed(), FILE_MAP_WRITE, 0, 0, 0) != nullptr; },
         false, 5},
        {"reparse data too long for the buffer fills all of it",
         [] { alignas(8) BYTE buffer[32];
              DWORD returned = 0;
              const BOOL done = DeviceIoControl(OpenForReading(), FSCTL_GET_REPARSE_POINT, nullptr,
                                                0, buffer, sizeof buffer, &returned, nullptr);
              EXPECT_EQ(returned, sizeof buffer);
              EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + sizeof buffer),
                        std::vector<uint8_t>(Reparse().begin(), Reparse().begin() + sizeof buffer));
              return done != FALSE; }, false, ERROR_MORE_DATA},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        AddFile(u"a", "contents").reparseData = Reparse();
        bool succeeded = false;
        ASSERT_TRUE(sim::Run([&] { succeeded = c.call(); }).returned);
        EXPECT_EQ(succeeded, c.succeeds);
        EXPECT_EQ(W().log.back().error, c.error);
    }
}

}  // namespace
