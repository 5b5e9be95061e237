// The log pane: the entries of one turn reach the pane in one update, changed in place and ending
// as if the whole text had been set; a quick succession of turns paints it less often.
#include "app/LogPane.h"

#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextDocument>
#include <gtest/gtest.h>

TEST(LogPaneTest, TheEntriesOfOneTurnAreShownTogether)
{
    QPlainTextEdit edit;
    auto* pane = new LogPane(&edit);
    int sets = 0;
    QObject::connect(&edit, &QPlainTextEdit::textChanged, &edit, [&sets] { ++sets; });
    for (int n = 1; n <= 11; ++n) {
        pane->Append("entry " + std::to_string(n) + "\r\n");
        if (n >= 10) {
            EXPECT_EQ(edit.toPlainText().count(QLatin1Char('\n')), n == 10 ? 0 : 8);
            QCoreApplication::sendPostedEvents();
        }
    }
    EXPECT_EQ(edit.toPlainText(), QStringLiteral("entry 4\nentry 5\nentry 6\nentry 7\nentry 8\n"
                                                 "entry 9\nentry 10\nentry 11\n"));
    EXPECT_EQ(sets, 2) << "one update per turn";
    EXPECT_EQ(edit.textCursor().position(), 0);
    EXPECT_FALSE(edit.document()->isUndoAvailable());
}

TEST(LogPaneTest, EntriesInQuickSuccessionHoldBackThePaintNotTheText)
{
    QPlainTextEdit edit;
    auto* pane = new LogPane(&edit, 300);
    pane->Append("first\r\n");
    QCoreApplication::sendPostedEvents();
    EXPECT_TRUE(edit.updatesEnabled()) << "an entry after a quiet spell shows at once";
    pane->Append("second\r\n");
    QCoreApplication::sendPostedEvents();
    EXPECT_FALSE(edit.updatesEnabled());
    EXPECT_EQ(edit.toPlainText(), QStringLiteral("first\nsecond\n"));
    QTRY_VERIFY_WITH_TIMEOUT(edit.updatesEnabled(), 5000);

    edit.moveCursor(QTextCursor::End); // the user clicked into the pane
    pane->Append("third\r\n");
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(edit.textCursor().position(), 0) << "the caret goes back to the start";
}
