#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

// Makes the images compiled into the gui library available; safe to call more than once.
void EnsureResources();

// Draws one of the program's SVG images at the given size.
QPixmap RenderSvg(const QString& resource, int width, int height);

// The program's icon, the globe with two arrows, at the sizes a window and a dialog need.
QIcon ProgramIcon();
