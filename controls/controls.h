// What the keys do to the view, once per frame after the quit key.
#pragma once

void applyViewerControls();
