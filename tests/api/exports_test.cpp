// The exports that are complete without a running engine: GetErrInfo, the
// setters and the fixed results.
#include <gtest/gtest.h>

#include <array>

#include "api/engines.h"
#include "protocol/wire.h"
#include "tivlo/tivlo.h"

namespace {

using tivlo::api::TheServer;

class ExportsTest : public ::testing::Test {
protected:
    void TearDown() override {
        auto& server = TheServer();
        for (int i = 0; i < server.receiverCount; ++i) server.roster[i].errorCode = 0;
        server.receiverCount = 0;
    }
    static void Join(int index, uint32_t addr, uint32_t code) {
        auto& server = TheServer();
        server.roster[index].address = {addr, 27001};
        server.roster[index].errorCode = code;
        server.receiverCount = index + 1;
    }
};

TEST_F(ExportsTest, GetErrInfoReportsOnlyReceiversWithACodeInJoiningOrder) {
    using tivlo::protocol::IPv4;
    Join(0, IPv4(10, 0, 0, 1), 0);
    Join(1, IPv4(10, 0, 0, 2), 112);
    Join(2, IPv4(10, 0, 0, 3), 0);
    std::array<uint32_t, 401> out{};
    out.fill(0xEEEEEEEE);
    EXPECT_EQ(GetErrInfo(out.data()), 1);
    EXPECT_EQ(out[0], 1u);
    EXPECT_EQ(out[1], IPv4(10, 0, 0, 2));
    EXPECT_EQ(out[2], 112u);
    EXPECT_EQ(out[3], 0xEEEEEEEEu) << "nothing is written behind the last pair";

    Join(2, IPv4(10, 0, 0, 3), 1460);
    TheServer().roster[0].errorCode = 1;
    EXPECT_EQ(GetErrInfo(out.data()), 3);
    EXPECT_EQ(out[1], IPv4(10, 0, 0, 1));
    EXPECT_EQ(out[2], 1u);
    EXPECT_EQ(out[5], IPv4(10, 0, 0, 3));
    EXPECT_EQ(out[6], 1460u);
}

TEST_F(ExportsTest, GetErrInfoWithEmptyRosterWritesZero) {
    // A former occupant's code behind receiverCount is not reported.
    TheServer().roster[0].errorCode = 112;
    std::array<uint32_t, 401> out{};
    out[0] = 77;
    EXPECT_EQ(GetErrInfo(out.data()), 0);
    EXPECT_EQ(out[0], 0u);
    TheServer().roster[0].errorCode = 0;
    EXPECT_EQ(GetErrInfo(nullptr), 0);
}

TEST_F(ExportsTest, FullRosterFitsFourHundredOneValues) {
    for (int i = 0; i < 200; ++i) Join(i, uint32_t(i + 1), 1460);
    std::array<uint32_t, 402> out{};
    out[401] = 0xABCDABCD;
    EXPECT_EQ(GetErrInfo(out.data()), 200);
    EXPECT_EQ(out[399], 200u);
    EXPECT_EQ(out[400], 1460u);
    EXPECT_EQ(out[401], 0xABCDABCDu);
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
