// The Linux backend's video subsystem, beyond the platform seam.
#pragma once

// Video starts with the first window and stays up through re-creations; this ends it, after
// tearing down any window. The next window starts it again.
void stopVideo();
