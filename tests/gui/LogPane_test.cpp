// The log pane: the entries of one turn of the event loop reach the pane together, as the text it
// would have shown after the last of them.
#include "app/LogPane.h"

#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QTextDocument>
#include <gtest/gtest.h>

TEST(LogPaneTest, TheEntriesOfOneTurnAreShownTogether)
{
    QPlainTextEdit edit;
    auto* pane = new LogPane(&edit);
    int sets = 0;
    QObject::connect(&edit, &QPlainTextEdit::textChanged, &edit, [&sets] { ++sets; });
    for (int n = 1; n <= 10; ++n) {
        pane->Append("entry " + std::to_string(n) + "\r\n");
    }
    EXPECT_TRUE(edit.toPlainText().isEmpty()) << "nothing is shown before the turn ends";
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(edit.toPlainText(), QStringLiteral("entry 3\nentry 4\nentry 5\nentry 6\nentry 7\n"
                                                 "entry 8\nentry 9\nentry 10\n"));
    const int setsOfOneTurn = sets;
    pane->Append("entry 11\r\n");
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(sets, 2 * setsOfOneTurn) << "one update per turn";
    // Changed in place, it ends as if set whole: the caret at the start, nothing to undo.
    EXPECT_EQ(edit.toPlainText(), QStringLiteral("entry 4\nentry 5\nentry 6\nentry 7\nentry 8\n"
                                                 "entry 9\nentry 10\nentry 11\n"));
    EXPECT_EQ(edit.textCursor().position(), 0);
    EXPECT_FALSE(edit.document()->isUndoAvailable());
}
