// Startup, the main loop and shutdown, written once over the backend seam.
#pragma once

// Returns the exit status: 1 after a normal quit, 0 after any failure.
int runViewer();

bool initView();
void updateFrame();
