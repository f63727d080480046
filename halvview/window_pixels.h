// Drawing in window pixels (x from the left, y from the bottom) over the
// picture, whatever viewport and matrices the display left: bitmap text and
// filled rectangles. Every overlay draws through these.
#ifndef HALVORN_WINDOW_PIXELS_H
#define HALVORN_WINDOW_PIXELS_H

// Sets up a projection of window pixels over the whole window, saving the
// viewport and both matrices; EndWindowPixels puts them back and leaves the
// model-view matrix selected.
void BeginWindowPixels();
void EndWindowPixels();
// Text in the 8 x 13 bitmap font from (x, y), a line end going 13 pixels
// down; in the current colour.
void DrawGLText(int x, int y, const char *text);
// A rectangle of window pixels [x0, x1) x [y0, y1) in one colour.
void FillWindowRect(int x0, int y0, int x1, int y1, unsigned char r, unsigned char g, unsigned char b);

#endif
