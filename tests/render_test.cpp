// The shared drawing code rendered by Mesa into an off-screen EGL surface and read back.
#include <gtest/gtest.h>

#include <EGL/egl.h>
#include <EGL/eglext.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/viewer_state.h"
#include "display/gl_headers.h"
#include "display/view.h"
#include "page/page.h"
#include "tests/support/doubles.h"
#include "tests/support/test_support.h"

// Stand-in glyphs: a solid 12 x 20 block per character, advancing 14 pixels, so the overlay's
// colours can be told apart by position.
constexpr int kGlyphWidth = 12;
constexpr int kGlyphHeight = 20;

bool buildFontGlyphs(uint32_t base)
{
    static const std::vector<unsigned char> block(2 * kGlyphHeight, 0xFF);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    for (uint32_t i = 0; i < 96; ++i) {
        glNewList(base + i, GL_COMPILE);
        glBitmap(kGlyphWidth, kGlyphHeight, 0, 0, kGlyphWidth + 2, 0, block.data());
        glEndList();
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    return true;
}

namespace {

struct Rgb {
    int r, g, b;
};

constexpr int kMaxSide = 1280;

EGLDisplay display = EGL_NO_DISPLAY;
EGLContext context = EGL_NO_CONTEXT;
EGLSurface surface = EGL_NO_SURFACE;
int viewWidth = 0;
int viewHeight = 0;

class RenderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        auto getPlatformDisplay = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
            eglGetProcAddress("eglGetPlatformDisplayEXT"));
        ASSERT_NE(getPlatformDisplay, nullptr);
        display = getPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
        ASSERT_TRUE(eglInitialize(display, nullptr, nullptr));
        const EGLint configAttributes[] = {EGL_SURFACE_TYPE, EGL_PBUFFER_BIT, EGL_RED_SIZE, 8,
                                           EGL_GREEN_SIZE, 8, EGL_BLUE_SIZE, 8, EGL_DEPTH_SIZE, 16,
                                           EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_NONE};
        EGLConfig config;
        EGLint count = 0;
        ASSERT_TRUE(eglChooseConfig(display, configAttributes, &config, 1, &count));
        ASSERT_EQ(count, 1);
        const EGLint surfaceAttributes[] = {EGL_WIDTH, kMaxSide, EGL_HEIGHT, 1024, EGL_NONE};
        surface = eglCreatePbufferSurface(display, config, surfaceAttributes);
        ASSERT_NE(surface, EGL_NO_SURFACE);
        ASSERT_TRUE(eglBindAPI(EGL_OPENGL_API));
        context = eglCreateContext(display, config, EGL_NO_CONTEXT, nullptr);
        ASSERT_NE(context, EGL_NO_CONTEXT);
        ASSERT_TRUE(eglMakeCurrent(display, surface, surface, context));
    }

    static void TearDownTestSuite()
    {
        eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
        eglDestroyContext(display, context);
        eglDestroySurface(display, surface);
        // No eglTerminate: it unloads Mesa's driver, whose few leftover blocks the leak checker
        // would then report without a name to suppress them by.
    }

    void SetUp() override
    {
        freePage(viewer.page);
        resetViewerState();
        fillVideoModes();
        doubles = TestDoubles{};
        ASSERT_TRUE(enterScratchDir(&scratch, "tessvane-render"));
        std::snprintf(viewer.dataPath, sizeof viewer.dataPath, "%s", kDataName);
        setView(640, 480);
    }

    void TearDown() override
    {
        deleteFont();
        freePage(viewer.page);
        viewer.page = nullptr;
        EXPECT_EQ(doubles.errorCount, 0) << doubles.lastError;
        EXPECT_TRUE(leaveScratchDir(&scratch));
    }

    static void setView(int width, int height)
    {
        viewWidth = width;
        viewHeight = height;
        resizeView(width, height);
        initGlState();
    }

    void writeData(const std::vector<unsigned char>& bytes)
    {
        ASSERT_TRUE(writeTestFile(kDataName, bytes.data(), bytes.size()));
    }

    // 256 x 256 pixels of 24-bit colour: red = column, green = row, blue fixed.
    void writeCoordinatePage()
    {
        std::vector<unsigned char> bytes;
        for (int y = 0; y < 256; ++y)
            for (int x = 0; x < 256; ++x) {
                bytes.push_back(static_cast<unsigned char>(x));
                bytes.push_back(static_cast<unsigned char>(y));
                bytes.push_back(77);
            }
        writeData(bytes);
    }

    void writeGreyPage() { writeData(std::vector<unsigned char>(256 * 256 * 3, 128)); }

    static void drawFrame()
    {
        renderFrame();
        glFinish();
    }

    // x from the left, y from the top of the view.
    static Rgb pixelAt(int x, int y)
    {
        unsigned char rgba[4];
        glReadPixels(x, viewHeight - 1 - y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, rgba);
        return {rgba[0], rgba[1], rgba[2]};
    }

    static bool isWhite(Rgb c) { return c.r == 255 && c.g == 255 && c.b == 255; }
    static bool isBlack(Rgb c) { return c.r == 0 && c.g == 0 && c.b == 0; }

    static int countWhite()
    {
        std::vector<unsigned char> rgba(static_cast<size_t>(viewWidth) * viewHeight * 4);
        glReadPixels(0, 0, viewWidth, viewHeight, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
        int count = 0;
        for (size_t i = 0; i < rgba.size(); i += 4)
            count += rgba[i] == 255 && rgba[i + 1] == 255 && rgba[i + 2] == 255;
        return count;
    }

    // Which texel of a 256-wide texture a view column shows: the quad is 18 x 13.4 units at a
    // distance of 16 under a 45 degree field of view, so it overfills the view slightly.
    static double texelAtColumn(int x)
    {
        double halfHeight = 16.0 * std::tan(22.5 * 3.14159265358979323846 / 180.0);
        double halfWidth = halfHeight * static_cast<float>(viewWidth) / static_cast<float>(viewHeight);
        double unitX = -halfWidth + 2.0 * halfWidth * (x + 0.5) / viewWidth;
        return (unitX + 9.0) / 18.0 * 256.0;
    }

    static double texelAtRow(int y)
    {
        double halfHeight = 16.0 * std::tan(22.5 * 3.14159265358979323846 / 180.0);
        double unitY = halfHeight - 2.0 * halfHeight * (y + 0.5) / viewHeight;
        return (6.7 - unitY) / 13.4 * 256.0;
    }

    static constexpr const char* kDataName = "page.bin";
    ScratchDir scratch;
};

TEST_F(RenderTest, PageIsStretchedEdgeToEdgeWithRowZeroAtTheTop)
{
    writeCoordinatePage();
    ASSERT_TRUE(reloadPage());
    EXPECT_EQ(viewer.viewTexture, kViewTexture);
    drawFrame();

    const int columns[] = {0, 1, 160, 320, 480, 638, 639};
    const int rows[] = {0, 1, 120, 240, 360, 478, 479};
    for (int y : rows) {
        for (int x : columns) {
            Rgb c = pixelAt(x, y);
            SCOPED_TRACE("view pixel " + std::to_string(x) + "," + std::to_string(y));
            EXPECT_NEAR(c.r, texelAtColumn(x), 1.0);
            EXPECT_NEAR(c.g, texelAtRow(y), 1.0);
            EXPECT_EQ(c.b, 77);
        }
    }
    // The overfill cuts a couple of texels off each edge, never shows the black clear colour.
    EXPECT_GE(pixelAt(0, 240).r, 1);
    EXPECT_LE(pixelAt(639, 240).r, 254);
}

TEST_F(RenderTest, StretchFollowsTheViewsProportions)
{
    writeCoordinatePage();
    ASSERT_TRUE(reloadPage());
    setView(1280, 1024);
    drawFrame();
    for (int x : {0, 640, 1279})
        EXPECT_NEAR(pixelAt(x, 512).r, texelAtColumn(x), 1.0) << x;
    for (int y : {0, 512, 1023})
        EXPECT_NEAR(pixelAt(640, y).g, texelAtRow(y), 1.0) << y;
}

TEST_F(RenderTest, BlackBeyondTheConfiguredWindow)
{
    writeData(std::vector<unsigned char>(300000, 200));
    viewer.pageWidth = 300;  // texture 512 wide: columns 300 to 511 are black
    ASSERT_TRUE(reloadPage());
    drawFrame();
    EXPECT_EQ(pixelAt(100, 240).r, 200);
    EXPECT_TRUE(isBlack(pixelAt(500, 240)));
}

TEST_F(RenderTest, OverlayIsWhiteWithABlackShadowRightAndBelow)
{
    writeGreyPage();
    viewer.showOffset = 1;
    viewer.fileOffset = 0;
    ASSERT_TRUE(reloadPage());
    buildFont();
    drawFrame();
    EXPECT_TRUE(glIsEnabled(GL_TEXTURE_2D)) << "texturing is back on after the text";

    // Find the white glyph block near the top left.
    int left = -1, top = -1;
    for (int y = 0; y < 80 && top < 0; ++y)
        for (int x = 0; x < 80; ++x)
            if (isWhite(pixelAt(x, y))) {
                left = x;
                top = y;
                break;
            }
    ASSERT_GE(left, 0) << "no overlay text near the top left";
    EXPECT_LT(left, 40);

    // The white copy stays whole where the shadow overlaps it.
    for (int y = top; y < top + kGlyphHeight; ++y)
        for (int x = left; x < left + kGlyphWidth; ++x)
            ASSERT_TRUE(isWhite(pixelAt(x, y))) << x << "," << y;

    // 0.1 units right is about 3.6 pixels, 0.05 down about 1.8 at 480 pixels high.
    EXPECT_TRUE(isBlack(pixelAt(left + kGlyphWidth + 1, top + 5)));
    EXPECT_TRUE(isBlack(pixelAt(left + 5, top + kGlyphHeight)));
    EXPECT_EQ(pixelAt(left + kGlyphWidth + 8, top + 5).r, 128) << "shadow is only a few pixels wide";
    EXPECT_EQ(pixelAt(left - 1, top + 5).r, 128) << "nothing left of the white text";
}

TEST_F(RenderTest, NoOverlayWhenOffOrInTheNarrowMode)
{
    writeGreyPage();
    ASSERT_TRUE(reloadPage());
    buildFont();

    drawFrame();
    EXPECT_EQ(countWhite(), 0);

    viewer.showOffset = 1;
    setView(1280, 1024);
    drawFrame();
    EXPECT_EQ(countWhite(), 0) << "both raster positions lie outside a 1.25 aspect view";

    setView(1280, 960);
    drawFrame();
    EXPECT_GT(countWhite(), 0);
}

TEST_F(RenderTest, EmptyPageShowsAPlainWhiteQuad)
{
    writeGreyPage();
    viewer.pageWidth = 0;
    ASSERT_TRUE(reloadPage());
    ASSERT_EQ(viewer.page->texWidth, 0);
    drawFrame();
    EXPECT_EQ(countWhite(), viewWidth * viewHeight);
}

TEST_F(RenderTest, FailedReloadKeepsTheOldPicture)
{
    writeCoordinatePage();
    ASSERT_TRUE(reloadPage());
    std::remove(kDataName);
    viewer.fileOffset = 20000;
    EXPECT_FALSE(reloadPage());
    EXPECT_EQ(viewer.page, nullptr);
    EXPECT_EQ(viewer.fileOffset, 20000) << "no wrap without the file";
    drawFrame();
    EXPECT_NEAR(pixelAt(320, 240).r, texelAtColumn(320), 1.0);
    EXPECT_NEAR(pixelAt(320, 240).g, texelAtRow(240), 1.0);
}

TEST_F(RenderTest, ZeroHeightViewGetsAOnePixelViewport)
{
    resizeView(300, 0);
    GLint viewport[4];
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[2], 300);
    EXPECT_EQ(viewport[3], 1);
    resizeView(-5, -5);
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[2], 1);
    EXPECT_EQ(viewport[3], 1);
}

}  // namespace
