#include "display/view.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "app/viewer_state.h"
#include "display/gl_headers.h"
#include "display/message_text.h"
#include "display/platform.h"
#include "page/page.h"

constexpr int kFontGlyphCount = 96;
constexpr int kFirstGlyph = 32;

static GLuint fontBase;
// False when the backend found no font: the overlay is then left out.
static bool fontReady;

bool reloadPage()
{
    freePage(viewer.page);
    viewer.page = loadPage(viewer.dataPath, viewer.pixelFormat, viewer.pageWidth, viewer.pageHeight,
                           viewer.fileOffset, viewer.fileOffset + kPageSize[viewer.pixelFormat]);
    if (!viewer.page)
        return false;

    // A texture the GL cannot hold would upload as nothing; count it as a failed load instead.
    GLint maxSide = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSide);
    if (viewer.page->texWidth > maxSide || viewer.page->texHeight > maxSide) {
        freePage(viewer.page);
        viewer.page = nullptr;
        return false;
    }

    glBindTexture(GL_TEXTURE_2D, kViewTexture);
    glTexImage2D(GL_TEXTURE_2D, 0, 4, viewer.page->texWidth, viewer.page->texHeight, 0, GL_RGBA,
                 GL_UNSIGNED_BYTE, viewer.page->pixels);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    viewer.viewTexture = kViewTexture;
    return true;
}

void renderFrame()
{
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
    drawPageQuad();

    if (viewer.showOffset) {
        // Both copies sit at the quad's depth; under GL_LESS the black one loses wherever the
        // white one already wrote depth, so it only shows as a shadow beside it.
        glRasterPos2f(-8.5f, 6.0f);
        glDisable(GL_TEXTURE_2D);
        printOverlay("%lld", static_cast<long long>(viewer.fileOffset));
        glColor4f(0.0f, 0.0f, 0.0f, 1.0f);
        glRasterPos2f(-8.4f, 5.95f);
        printOverlay("%lld", static_cast<long long>(viewer.fileOffset));
        glEnable(GL_TEXTURE_2D);
    }
}

void drawPageQuad()
{
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glTranslatef(0.0f, 0.0f, -16.0f);
    glDepthMask(GL_FALSE);
    glBindTexture(GL_TEXTURE_2D, viewer.viewTexture);
    glBegin(GL_QUADS);
    glTexCoord2f(0.0f, 1.0f);
    glVertex3f(-9.0f, -6.7f, 0.0f);
    glTexCoord2f(0.0f, 0.0f);
    glVertex3f(-9.0f, 6.7f, 0.0f);
    glTexCoord2f(1.0f, 0.0f);
    glVertex3f(9.0f, 6.7f, 0.0f);
    glTexCoord2f(1.0f, 1.0f);
    glVertex3f(9.0f, -6.7f, 0.0f);
    glEnd();
    glDepthMask(GL_TRUE);
}

void printOverlay(const char* format, ...)
{
    if (!fontReady)
        return;
    char text[kMessageCapacity];
    va_list args;
    va_start(args, format);
    int length = formatMessage(text, format, args);
    va_end(args);
    if (length == 0)
        return;
    glPushAttrib(GL_LIST_BIT);
    glListBase(fontBase - kFirstGlyph);
    glCallLists(length, GL_UNSIGNED_BYTE, text);
    glPopAttrib();
}

void buildFont()
{
    fontBase = glGenLists(kFontGlyphCount);
    fontReady = fontBase != 0 && buildFontGlyphs(fontBase);
}

void deleteFont()
{
    if (fontBase != 0)
        glDeleteLists(fontBase, kFontGlyphCount);
    fontBase = 0;
    fontReady = false;
}

void resizeView(int32_t width, int32_t height)
{
    if (height <= 0)
        height = 1;
    if (width <= 0)
        width = 1;
    glViewport(0, 0, width, height);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    setPerspective(45.0, static_cast<float>(width) / static_cast<float>(height), 0.1, 256.0);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
}

void setPerspective(double fovY, double aspect, double zNear, double zFar)
{
    const double kPi = 3.14159265358979323846;
    double h = std::tan(fovY * kPi / 360.0) * zNear;
    double w = h * aspect;
    glFrustum(-w, w, -h, h, zNear, zFar);
}

bool initGlState()
{
    glEnable(GL_TEXTURE_2D);
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    glClearDepth(1.0);
    glDepthFunc(GL_LESS);
    glEnable(GL_DEPTH_TEST);
    glShadeModel(GL_SMOOTH);
    glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
    return true;
}
