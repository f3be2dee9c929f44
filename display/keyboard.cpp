#include "display/keyboard.h"

#include <cstring>

KeyboardState keyboard;

void clearKeyboard()
{
    std::memset(&keyboard, 0, sizeof keyboard);
}

void keyPressed(unsigned code)
{
    if (code < kKeyCount)
        keyboard.down[code] = true;
}

void keyReleased(unsigned code)
{
    if (code < kKeyCount) {
        keyboard.down[code] = false;
        keyboard.handled[code] = false;
    }
}

bool takeFreshPress(int key)
{
    if (!keyboard.down[key] || keyboard.handled[key])
        return false;
    keyboard.handled[key] = true;
    return true;
}
