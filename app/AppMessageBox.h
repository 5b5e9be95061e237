#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <functional>

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

    // A box that does not wait: the call returns at once. AskLater asks with the buttons Yes and
    // No, No being the default; `answered` gets the button pressed once the box closes (No when it
    // is closed otherwise). The box keeps the user from the window while it is open, but the
    // schedule goes on. An answer given in advance, or a suppressed box, answers from the event
    // loop, never inside the call.
    static void ShowLater(QWidget* parent, const QString& text, QMessageBox::Icon icon);
    static void AskLater(QWidget* parent, const QString& text, QMessageBox::Icon icon,
                         std::function<void(QMessageBox::StandardButton)> answered);

    // While suppressed (the program is ending), boxes are not shown and answer OK (or No).
    static void SetSuppressed(bool suppressed);

    // Test hooks: while answers are queued, boxes are not shown but answered from the queue.
    // ClearAnswers also ends a suppression.
    static void SetNextAnswer(QMessageBox::StandardButton answer);
    static void ClearAnswers();
    static const QList<Shown>& History();
    static void ClearHistory();
};
