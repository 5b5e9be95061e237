#pragma once

class QWidget;

// Lays a dialog out from positions given in dialog units, the way a dialog template is placed:
// one horizontal unit is a quarter of the dialog font's average character width and one
// vertical unit an eighth of its height. Every widget (the dialog included) that carries a "dlu"
// rectangle property gets that geometry; the dialog itself gets a fixed size. Labels and check
// boxes are widened to their text where the font needs more room, so no text is cut off.
void PlaceInDialogUnits(QWidget* dialog);
