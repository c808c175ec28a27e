// The link diagnostics' statistics text: every reason a failure can have is
// named, by the window's own words.
#include "app/tools/link_diag_dlg.h"

#include <gtest/gtest.h>

namespace app {
namespace {

TEST(LinkDiagText, ValuesThatAreNoReadingsAreCountedByTheirReason) {
    hart::LinkStatsSnapshot s;
    s.requests = 5;
    s.successes = 2;
    s.failures[static_cast<size_t>(hart::Reason::kValueNotAvailable)] = 2;
    s.failures[static_cast<size_t>(hart::Reason::kImplausibleValue)] = 1;
    s.failedAttempts[static_cast<size_t>(hart::Reason::kIncompleteReply)] = 1;
    const QString text = DescribeLinkStats(s);
    EXPECT_TRUE(text.contains(QStringLiteral("失败: 3"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("失败原因: 数值不可用 2, 数值不合理 1")))
        << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("失败的尝试: 应答不完整 1"))) << text.toStdString();
    // No reason is left without a name of its own.
    for (int r = 1; r < hart::kReasonCount; ++r) {
        hart::LinkStatsSnapshot one;
        one.failures[static_cast<size_t>(r)] = 1;
        EXPECT_FALSE(DescribeLinkStats(one).contains(QLatin1Char('?'))) << r;
    }
}

}  // namespace
}  // namespace app
