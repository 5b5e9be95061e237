#pragma once

// Makes the images compiled into the gui library available; safe to call more than once.
void EnsureResources();
