// The exports that are complete without a running engine: the setters and
// the fixed results.
#include <gtest/gtest.h>

#include "api/engines.h"
#include "tivlo/tivlo.h"

namespace {

using tivlo::api::TheServer;

TEST(Exports, SettersStoreAndFixedResults) {
    uint32_t out[401] = {77};
    EXPECT_TRUE(GetErrInfo(out) == 0 && out[0] == 0 && GetErrInfo(nullptr) == 0);  // no receiver yet: zero
    EXPECT_TRUE(SetSubDirTrans(1) == 1 && TheServer().includeSubdirs == 1u);
    EXPECT_TRUE(SetSubDirTrans(0) == 1 && TheServer().includeSubdirs == 0u);
    EXPECT_EQ(SetTargetPath(TIVLO_TARGET_MODE_PATH, u"/srv/in"), 1);
    // A path that does not fit the Task's name field is refused; the former one stays.
    const std::u16string tooLong(260, u'a'), fits(259, u'b');
    EXPECT_EQ(SetTargetPath(5, tooLong.c_str()), 0);
    EXPECT_TRUE(TheServer().targetMode == TIVLO_TARGET_MODE_PATH && TheServer().targetPath == u"/srv/in");
    EXPECT_TRUE(SetTargetPath(5, fits.c_str()) == 1 && TheServer().targetMode == 5 && TheServer().targetPath == fits);
    EXPECT_TRUE(StopReceive() == 1 && GetIsHasInvalidChar() == 0);
}

}  // namespace
