// The exports that are complete without a running engine: the setters and
// the fixed results.
#include <gtest/gtest.h>

#include <array>

#include "api/engines.h"
#include "protocol/wire.h"
#include "tivlo/tivlo.h"

namespace {

using tivlo::api::TheServer;

class ExportsTest : public ::testing::Test {};

TEST_F(ExportsTest, GetErrInfoBeforeAnyReceiverWritesZero) {
    std::array<uint32_t, 401> out{};
    out[0] = 77;
    EXPECT_EQ(GetErrInfo(out.data()), 0);
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(GetErrInfo(nullptr), 0);
}

TEST_F(ExportsTest, SettersStoreAndFixedResults) {
    EXPECT_EQ(SetSubDirTrans(1), 1);
    EXPECT_EQ(TheServer().includeSubdirs, 1u);
    EXPECT_EQ(SetSubDirTrans(0), 1);
    EXPECT_EQ(TheServer().includeSubdirs, 0u);

    EXPECT_EQ(SetTargetPath(TIVLO_TARGET_MODE_PATH, u"/srv/in"), 1);
    EXPECT_EQ(TheServer().targetMode, TIVLO_TARGET_MODE_PATH);
    EXPECT_EQ(TheServer().targetPath, u"/srv/in");

    // A path that does not fit the Task's name field is refused; the former
    // one stays.
    std::u16string tooLong(260, u'a');
    EXPECT_EQ(SetTargetPath(5, tooLong.c_str()), 0);
    EXPECT_EQ(TheServer().targetMode, TIVLO_TARGET_MODE_PATH);
    EXPECT_EQ(TheServer().targetPath, u"/srv/in");
    std::u16string fits(259, u'b');
    EXPECT_EQ(SetTargetPath(5, fits.c_str()), 1);
    EXPECT_EQ(TheServer().targetPath, fits);

    EXPECT_EQ(StopReceive(), 1);
    EXPECT_EQ(GetIsHasInvalidChar(), 0);
}

}  // namespace
