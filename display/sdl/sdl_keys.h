// SDL key events to the Windows virtual-key codes that the keyboard table is indexed by.
#pragma once

#include <SDL_keyboard.h>

#include "display/keyboard.h"

constexpr int kKeyReturn = 13;
constexpr int kKeySpace = 32;

// The code for a key, or -1 for keys the viewer has no use for. Letters and digits follow the
// layout; a non-Latin layout falls back to the key's place, as Windows does.
inline int viewKeyCode(SDL_Keycode sym, SDL_Scancode scancode)
{
    if (sym >= SDLK_a && sym <= SDLK_z)
        return 'A' + (sym - SDLK_a);
    if (sym >= SDLK_0 && sym <= SDLK_9)
        return '0' + (sym - SDLK_0);
    switch (sym) {
    case SDLK_ESCAPE: return kKeyEscape;
    case SDLK_LEFT: return kKeyLeft;
    case SDLK_UP: return kKeyUp;
    case SDLK_RIGHT: return kKeyRight;
    case SDLK_DOWN: return kKeyDown;
    case SDLK_RETURN: return kKeyReturn;
    case SDLK_SPACE: return kKeySpace;
    }
    bool nonLatinCharacter = sym >= 128 && !(sym & SDLK_SCANCODE_MASK);
    if (nonLatinCharacter && scancode >= SDL_SCANCODE_A && scancode <= SDL_SCANCODE_Z)
        return 'A' + (scancode - SDL_SCANCODE_A);
    return -1;
}
