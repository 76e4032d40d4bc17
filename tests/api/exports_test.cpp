// The exports that answer without a running engine.
#include <gtest/gtest.h>

#include <string>

#include "tivlo/tivlo.h"

namespace {

TEST(Exports, AnswersWithoutAnEngine) {
    uint32_t out[401] = {77};
    EXPECT_TRUE(GetErrInfo(out) == 0 && out[0] == 0 && GetErrInfo(nullptr) == 0);  // no receiver yet: zero
    EXPECT_TRUE(SetSubDirTrans(1) == 1 && SetSubDirTrans(0) == 1);
    // A path that does not fit the Task's name field is refused.
    const std::u16string tooLong(260, u'a'), fits(259, u'b');
    EXPECT_EQ(SetTargetPath(5, tooLong.c_str()), 0);
    EXPECT_EQ(SetTargetPath(5, fits.c_str()), 1);
    EXPECT_TRUE(StopReceive() == 1 && GetIsHasInvalidChar() == 0);
}

}  // namespace
