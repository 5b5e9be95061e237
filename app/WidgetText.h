#pragma once

#include <QString>
#include <string>

// Text crosses the widget boundary here: the core keeps UTF-8 bytes, the widgets QString.
inline QString FromText(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string ToText(const QString& text)
{
    return text.toUtf8().toStdString();
}
