// The player program's GLUT glue: the callbacks, drawing, and the ways the
// program ends. Everything else lives in the GL-free core (player.h).
#ifndef HALVORN_VIEW_H
#define HALVORN_VIEW_H

#include "player.h"

// Set once CleanExit has begun: the window's close callback, which GLUT may
// run while the process ends, must not start a second one.
extern int ending;
// Orderly end: closes the movie, puts the display gamma back, exits 0.
[[noreturn]] void CleanExit();
// Puts the display gamma back and exits with `status` (start-up failures).
[[noreturn]] void FailExit(int status);
// Shows `frame` by the core's stepping rules; a frame that cannot be read
// ends the player through CleanExit.
void ShowFrame(int frame);

// GLUT callbacks and drawing.
void HandleIdle();
void HandleVisibility(int state);
void HandleDisplay();
void HandleReshape(int width, int height);
void HandleKeyboard(unsigned char key, int x, int y);
void HandleSpecialKeyboard(int key, int x, int y);
void DrawInfo();
void DrawHelp();
void DrawGLText(int x, int y, const char *text);
// Selects and clears the back buffer (mode 1).
void ClearBuffers(int mode);
// The screenshot key (screenshot.cpp): the movie's path names the shots.
void SetScreenshotMovie(const char *path);
void TakeScreenshot();

// Looking inside the picture (inspect_overlay.cpp): the clipping view
// ('c') and the histogram ('k'), both off at start.
extern int clipview, showhistogram;
// The pictures to draw for an eye: the clipping view's when it is on,
// made again only when the pictures shown have changed.
void PictureToDraw(int eye, const float **picture, const unsigned char **bytes);
// The histograms (each in the top-right corner of its eye's picture) and,
// with the information overlay, the timeline bar along the window's bottom.
void DrawInspection();
// The information overlay's added lines: the probe, the playing mode and
// direction, the clipping view's legend.
void DrawInspectInfo();
// Rows of the timeline bar, from the window's bottom edge.
constexpr int TIMELINE_HEIGHT = 4;

// The mouse (mouse.cpp): where the pointer is, for the probe; clicks and
// drags on the timeline bar ask for a seek, made from the idle callback.
extern int pointer_inside, pointer_x, pointer_y;
void HandleMouse(int button, int state, int x, int y);
void HandleMotion(int x, int y);
void HandlePassiveMotion(int x, int y);
void HandleEntry(int state);
void ApplyPendingSeek();

#endif
