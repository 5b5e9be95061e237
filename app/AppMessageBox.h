#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>

class QWidget;

// Every message box of the program goes through here: the caption is always the application name,
// and a test can answer the next boxes in advance instead of facing a modal loop. Each box shown
// (or answered in advance) is remembered, so a test can read what the user was told.
class AppMessageBox
{
public:
    struct Shown
    {
        QString text;
        QMessageBox::Icon icon;
    };

    // Shows a modal box with an OK button; returns the button pressed.
    static QMessageBox::StandardButton Show(QWidget* parent, const QString& text,
                                            QMessageBox::Icon icon);

    // Asks a question with the buttons Yes and No, No being the default; returns the button
    // pressed (No when the box is closed otherwise).
    static QMessageBox::StandardButton Ask(QWidget* parent, const QString& text,
                                           QMessageBox::Icon icon);

    // While suppressed (the program is ending), boxes are not shown and answer OK.
    static void SetSuppressed(bool suppressed);

    // Test hooks: while answers are queued, boxes are not shown but answered from the queue.
    // ClearAnswers also ends a suppression.
    static void SetNextAnswer(QMessageBox::StandardButton answer);
    static void ClearAnswers();
    static const QList<Shown>& History();
    static void ClearHistory();
};
