// Key flags kept by the window's event handling and read once per frame by the controls.
#pragma once

constexpr int kKeyCount = 256;

// Windows virtual-key codes; letters are their upper-case character codes.
constexpr int kKeyEscape = 27;
constexpr int kKeyLeft = 37;
constexpr int kKeyUp = 38;
constexpr int kKeyRight = 39;
constexpr int kKeyDown = 40;
constexpr int kKeyA = 'A';
constexpr int kKeyB = 'B';
constexpr int kKeyD = 'D';
constexpr int kKeyF = 'F';
constexpr int kKeyN = 'N';
constexpr int kKeyP = 'P';

struct KeyboardState {
    bool down[kKeyCount];
    bool handled[kKeyCount];
};

extern KeyboardState keyboard;

void clearKeyboard();

// Codes outside the table are ignored.
void keyPressed(unsigned code);
void keyReleased(unsigned code);

// Down and not yet acted on. Marks the key handled when it returns true.
bool takeFreshPress(int key);
