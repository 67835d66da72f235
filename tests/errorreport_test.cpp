#include "core/errorreport.h"
#include "support/test_env.h"

TEST_F(AppTest, ErrorReportNamesLocationLineAndGoesOn)
{
    ErrorTrap trap("Form1", "PushButton2_Click");
    int after = 0;
    const int failingLine = __LINE__ + 1;
    STEP(trap, throw AppError(QStringLiteral("File not found")));
    STEP(trap, after = 1);
    EXPECT_EQ(after, 1);
    ASSERT_EQ(prompts.messages.size(), 1u);
    const auto& m = prompts.messages.front();
    EXPECT_EQ(m.caption, QStringLiteral("Application Error"));
    EXPECT_EQ(m.icon, Prompts::Icon::Warning);
    EXPECT_EQ(m.buttons, Prompts::Buttons::Ok);
    EXPECT_EQ(m.text, QStringLiteral("File not found\nin Colorpare2021/08/31.Form1.PushButton2_Click at line ")
                          + QString::number(failingLine)
                          + QStringLiteral("\n\nPlease email screenshot of this message to ")
                          + Globals::kSupportAddress);
}
