// Overlay glyphs for the Linux backend: a bold monospace face found by fontconfig, rendered
// by FreeType to 1-bit bitmaps and compiled into GL display lists.
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <cstring>

#include "display/gl_headers.h"
#include "display/platform.h"

// Ascender plus descender, as the cell height of the font the Windows build asks GDI for.
constexpr int kGlyphCellHeight = 32;
constexpr int kFirstGlyph = 32;
constexpr int kGlyphCount = 96;
// Bytes for the largest glyph bitmap taken: far above what a 32-pixel face renders.
constexpr int kMaxGlyphBytes = 8192;

static bool findFontFile(char* path, int capacity, int* faceIndex)
{
    // A private configuration, so that everything fontconfig loads here is released again.
    FcConfig* config = FcInitLoadConfigAndFonts();
    if (!config)
        return false;
    bool found = false;
    FcPattern* pattern = FcNameParse((const FcChar8*)"monospace:bold");
    if (pattern && FcConfigSubstitute(config, pattern, FcMatchPattern)) {
        FcDefaultSubstitute(pattern);
        FcResult result;
        FcPattern* match = FcFontMatch(config, pattern, &result);
        FcChar8* file = nullptr;
        if (match && FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch &&
            std::strlen((const char*)file) < (size_t)capacity) {
            std::strcpy(path, (const char*)file);
            if (FcPatternGetInteger(match, FC_INDEX, 0, faceIndex) != FcResultMatch)
                *faceIndex = 0;
            found = true;
        }
        if (match)
            FcPatternDestroy(match);
    }
    if (pattern)
        FcPatternDestroy(pattern);
    FcConfigDestroy(config);
    return found;
}

// One glyph as a GL bitmap: rows bottom-up, packed to whole bytes, origin on the baseline.
static void compileGlyph(FT_GlyphSlot slot)
{
    static unsigned char rowsUp[kMaxGlyphBytes];
    const FT_Bitmap& bitmap = slot->bitmap;
    int rowBytes = ((int)bitmap.width + 7) / 8;
    int rows = (int)bitmap.rows;
    float advance = (float)slot->advance.x / 64.0f;
    if (bitmap.pixel_mode != FT_PIXEL_MODE_MONO || rowBytes * rows > kMaxGlyphBytes || !bitmap.buffer) {
        glBitmap(0, 0, 0, 0, advance, 0, nullptr);
        return;
    }
    int pitch = bitmap.pitch < 0 ? -bitmap.pitch : bitmap.pitch;
    for (int row = 0; row < rows; ++row) {
        // A positive pitch stores the top row first, a negative one the bottom row.
        int source = bitmap.pitch > 0 ? row : rows - 1 - row;
        std::memcpy(rowsUp + (rows - 1 - row) * rowBytes, bitmap.buffer + source * pitch, rowBytes);
    }
    glBitmap((GLsizei)bitmap.width, rows, (float)-slot->bitmap_left, (float)(rows - slot->bitmap_top), advance, 0,
             rowsUp);
}

bool buildFontGlyphs(uint32_t base)
{
    char path[4096];
    int faceIndex = 0;
    if (!findFontFile(path, (int)sizeof path, &faceIndex))
        return false;

    FT_Library library;
    if (FT_Init_FreeType(&library) != 0)
        return false;
    FT_Face face;
    if (FT_New_Face(library, path, faceIndex, &face) != 0) {
        FT_Done_FreeType(library);
        return false;
    }
    FT_Size_RequestRec request = {FT_SIZE_REQUEST_TYPE_REAL_DIM, 0, kGlyphCellHeight * 64, 0, 0};
    if (FT_Request_Size(face, &request) != 0) {
        FT_Done_Face(face);
        FT_Done_FreeType(library);
        return false;
    }

    glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    for (int i = 0; i < kGlyphCount; ++i) {
        glNewList(base + i, GL_COMPILE);
        // A glyph that will not load leaves its list empty.
        if (FT_Load_Char(face, kFirstGlyph + i, FT_LOAD_RENDER | FT_LOAD_TARGET_MONO) == 0)
            compileGlyph(face->glyph);
        glEndList();
    }
    glPopClientAttrib();

    FT_Done_Face(face);
    FT_Done_FreeType(library);
    return true;
}
