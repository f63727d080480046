// halvdemo: writes a short HDR picture sequence for trying out halvpack and
// halvview: a sunset over a tiled square with a few spheres, an arch and an
// obelisk. The sun disc is tens of thousands of times brighter than the
// sunlit tiles, and the ground under the spheres sits in shadow a hundred
// times darker than them, so the sequence needs tone mapping to be seen.
//
// The pictures are Radiance RGBE files written with the project's codec, one
// per frame (or a left and a right picture per frame with -s), plus a file
// list naming them, one frame per line, ready for halvpack -i.
//
// Everything is computed from the frame number alone: the same command
// writes the same bytes on every run.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "rgbe.h"

namespace {

constexpr double PI = 3.14159265358979323846;

struct Vec {
  double x, y, z;
};
inline Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec operator*(Vec a, double s) { return {a.x * s, a.y * s, a.z * s}; }
inline Vec Mul(Vec a, Vec b) { return {a.x * b.x, a.y * b.y, a.z * b.z}; }
inline double Dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec Normalize(Vec a) { return a * (1.0 / std::sqrt(Dot(a, a))); }
inline Vec Mix(Vec a, Vec b, double t) { return a * (1.0 - t) + b * t; }
inline double Clamp(double v, double lo, double hi) { return std::min(hi, std::max(lo, v)); }

struct Sphere {
  Vec centre;
  double radius;
  Vec albedo;
  double gloss;  // weight of the sun's highlight, 0 for matte
};

struct Box {
  Vec lo, hi;
  Vec albedo;
};

// Everything that changes from frame to frame.
struct Scene {
  std::vector<Sphere> spheres;
  std::vector<Box> boxes;
  Vec sundir;      // towards the sun
  Vec suninv;      // its reciprocals, for shadow rays
  Vec suncolour;   // irradiance of the sun on a surface facing it
  Vec disc;        // radiance of the sun disc
  Vec zenith, horizon;
  Vec ambient;     // sky light on an upward surface with the whole sky open
  // Where each object (spheres first, then boxes) can shade the ground: the
  // x and z extent of its shadow, for skipping shadow rays that miss it.
  struct Rect {
    double x0, x1, z0, z1;
  };
  std::vector<Rect> shadows;
};

// Corners of an object's bounding box; spheres first, then boxes.
void ObjectBounds(const Scene &scene, size_t object, Vec *lo, Vec *hi) {
  if (object < scene.spheres.size()) {
    const Sphere &s = scene.spheres[object];
    const Vec r{s.radius, s.radius, s.radius};
    *lo = s.centre - r;
    *hi = s.centre + r;
  } else {
    const Box &b = scene.boxes[object - scene.spheres.size()];
    *lo = b.lo;
    *hi = b.hi;
  }
}

inline Vec Corner(Vec lo, Vec hi, int k) {
  return {k & 1 ? hi.x : lo.x, k & 2 ? hi.y : lo.y, k & 4 ? hi.z : lo.z};
}

constexpr double SUN_RADIUS = 0.014;  // angular radius of the disc in radians
constexpr double FAR = 1e30;

// Distance along the ray to the sphere, or FAR.
double HitSphere(const Sphere &s, Vec origin, Vec dir) {
  const Vec oc = origin - s.centre;
  const double b = Dot(oc, dir);
  const double c = Dot(oc, oc) - s.radius * s.radius;
  const double disc = b * b - c;
  if (disc < 0) return FAR;
  const double root = std::sqrt(disc);
  double t = -b - root;
  if (t > 1e-6) return t;
  t = -b + root;
  return t > 1e-6 ? t : FAR;
}

// A ray with its direction's reciprocals, for the slab test.
struct Ray {
  Vec origin, dir, inv;
};
inline Ray MakeRay(Vec origin, Vec dir) {
  auto recip = [](double v) { return std::fabs(v) < 1e-12 ? (v < 0 ? -1e12 : 1e12) : 1.0 / v; };
  return {origin, dir, {recip(dir.x), recip(dir.y), recip(dir.z)}};
}

// Slab test: distance to the box and the axis of the face hit, or FAR.
double HitBox(const Box &box, const Ray &ray, int *axis) {
  double t0 = (box.lo.x - ray.origin.x) * ray.inv.x, t1 = (box.hi.x - ray.origin.x) * ray.inv.x;
  if (t0 > t1) std::swap(t0, t1);
  double tnear = t0, tfar = t1;
  int a = 0;
  t0 = (box.lo.y - ray.origin.y) * ray.inv.y;
  t1 = (box.hi.y - ray.origin.y) * ray.inv.y;
  if (t0 > t1) std::swap(t0, t1);
  if (t0 > tnear) {
    tnear = t0;
    a = 1;
  }
  tfar = std::min(tfar, t1);
  t0 = (box.lo.z - ray.origin.z) * ray.inv.z;
  t1 = (box.hi.z - ray.origin.z) * ray.inv.z;
  if (t0 > t1) std::swap(t0, t1);
  if (t0 > tnear) {
    tnear = t0;
    a = 2;
  }
  tfar = std::min(tfar, t1);
  if (tnear > tfar || tnear <= 1e-6) return FAR;  // missed, or starting inside or behind
  if (axis) *axis = a;
  return tnear;
}

// Normal of the face of a box hit along an axis by a ray of direction d.
Vec FaceNormal(int axis, Vec d) {
  if (axis == 0) return {d.x > 0 ? -1.0 : 1.0, 0, 0};
  if (axis == 1) return {0, d.y > 0 ? -1.0 : 1.0, 0};
  return {0, 0, d.z > 0 ? -1.0 : 1.0};
}

// Whether one of the objects in the mask lies on the ray.
bool Blocked(const Scene &scene, const Ray &ray, uint32_t mask) {
  const size_t ns = scene.spheres.size();
  for (size_t i = 0; i < ns; i++)
    if ((mask >> i & 1) && HitSphere(scene.spheres[i], ray.origin, ray.dir) < FAR) return true;
  for (size_t i = 0; i < scene.boxes.size(); i++)
    if ((mask >> (ns + i) & 1) && HitBox(scene.boxes[i], ray, nullptr) < FAR) return true;
  return false;
}

// The objects whose shadow may fall on a point of the ground.
uint32_t ShadowCandidates(const Scene &scene, Vec p) {
  uint32_t mask = 0;
  for (size_t i = 0; i < scene.shadows.size(); i++) {
    const Scene::Rect &r = scene.shadows[i];
    if (p.x >= r.x0 && p.x <= r.x1 && p.z >= r.z0 && p.z <= r.z1) mask |= 1u << i;
  }
  return mask;
}

// Whether anything lies straight above a point.
bool RoofAbove(const Scene &scene, Vec p) {
  for (const Box &b : scene.boxes)
    if (p.x > b.lo.x && p.x < b.hi.x && p.z > b.lo.z && p.z < b.hi.z && p.y < b.lo.y) return true;
  for (const Sphere &s : scene.spheres) {
    const double dx = p.x - s.centre.x, dz = p.z - s.centre.z;
    if (dx * dx + dz * dz < s.radius * s.radius && p.y < s.centre.y) return true;
  }
  return false;
}

// Sky radiance in a direction, sun disc and glow included.
Vec Sky(const Scene &scene, Vec dir) {
  const double down = 1.0 - std::max(dir.y, 0.0);
  const double f = down * down * down * down * down;
  Vec c = Mix(scene.zenith, scene.horizon, f);
  const double cosang = Clamp(Dot(dir, scene.sundir), -1.0, 1.0);
  if (cosang < 0.35) return c;  // the glow has faded to nothing out there
  const double ang = std::acos(cosang);
  c = c + scene.suncolour * (6.0 * std::exp(-ang / 0.02) + 0.6 * std::exp(-ang / 0.2));
  if (ang < SUN_RADIUS) {
    const double r = ang / SUN_RADIUS;
    const double limb = 0.6 + 0.4 * std::sqrt(1.0 - r * r);  // limb darkening
    c = scene.disc * limb;
  }
  return c;
}

// Box-filtered square wave: the share of odd tiles (floor(x) odd) in the
// window [x - w/2, x + w/2], so that far tiles fade to their mean instead of
// shimmering.
double FilteredChecker(double x, double w) {
  w = std::max(w, 1e-4);
  // Length of odd tiles in [0, v]: one per period of 2, plus the odd part of
  // the last period.
  auto oddlength = [](double v) {
    const double periods = std::floor(v * 0.5);
    return periods + std::max(0.0, v - 2.0 * periods - 1.0);
  };
  return Clamp((oddlength(x + 0.5 * w) - oddlength(x - 0.5 * w)) / w, 0.0, 1.0);
}

// Ambient light reaching a point with normal n, the spheres taken as
// occluders (the classic solid-angle estimate) and a cheap test for a roof.
double AmbientVisibility(const Scene &scene, Vec p, Vec n) {
  double occ = 0.0;
  for (const Sphere &s : scene.spheres) {
    const Vec d = s.centre - p;
    const double dist2 = Dot(d, d);
    if (dist2 > 40.0 * s.radius * s.radius) continue;  // too far to matter (< 2.5 %)
    const double dist = std::sqrt(dist2);
    if (dist <= s.radius * 1.0001) continue;  // the point is on this sphere
    const double facing = Dot(n, d) / dist;
    if (facing > 0) occ += facing * s.radius * s.radius / dist2;
  }
  // Light bounced about the scene never quite lets a corner go black.
  double vis = Clamp(1.0 - occ, 0.04, 1.0);
  if (RoofAbove(scene, p + n * 1e-4)) vis *= 0.3;  // under the arch
  // Corners where a surface meets the ground get less sky.
  vis *= 1.0 - 0.5 * std::exp(-p.y * 4.0);
  return vis;
}

Vec ShadeSurface(const Scene &scene, Vec p, Vec n, Vec albedo, double gloss, Vec viewdir) {
  const double ndotl = Dot(n, scene.sundir);
  Vec direct{0, 0, 0};
  if (ndotl > 0) {
    // On the ground only the objects whose shadow reaches the point count.
    const uint32_t mask = p.y == 0.0 ? ShadowCandidates(scene, p) : ~0u;
    if (mask == 0 || !Blocked(scene, {p + n * 1e-4, scene.sundir, scene.suninv}, mask))
      direct = scene.suncolour * ndotl;
  }
  const double skyshare = 0.5 + 0.5 * n.y;  // upward faces see more sky
  const Vec amb = scene.ambient * (skyshare * AmbientVisibility(scene, p, n));
  const Vec bounce = scene.suncolour * (0.04 * (0.5 - 0.5 * n.y) * scene.sundir.y);
  Vec c = Mul(albedo, direct + amb + bounce);
  if (gloss > 0 && ndotl > 0 && (direct.x > 0 || direct.y > 0)) {
    // Normalised Phong lobe around the mirror direction of the view ray.
    const Vec refl = viewdir - n * (2.0 * Dot(viewdir, n));
    const double cosr = Dot(refl, scene.sundir);
    const double shininess = 300.0;
    if (cosr > 0.95)
      c = c + scene.suncolour * (gloss * (shininess + 2.0) / (2.0 * PI) * std::pow(cosr, shininess));
  }
  return c;
}

// Radiance seen along one camera ray. `footprint` is the angular size of a
// pixel, used to filter the tile pattern.
// Only the objects in `mask` can be hit.
Vec Trace(const Scene &scene, Vec origin, Vec dir, double footprint, uint32_t mask) {
  const Ray ray = MakeRay(origin, dir);
  double tbest = FAR;
  int kind = 0, index = -1;  // 1 sphere, 2 box, 3 ground
  int boxaxis = 1;
  const size_t ns = scene.spheres.size();
  for (size_t i = 0; i < ns; i++) {
    if (!(mask >> i & 1)) continue;
    const double t = HitSphere(scene.spheres[i], origin, dir);
    if (t < tbest) {
      tbest = t;
      kind = 1;
      index = (int)i;
    }
  }
  for (size_t i = 0; i < scene.boxes.size(); i++) {
    if (!(mask >> (ns + i) & 1)) continue;
    int axis;
    const double t = HitBox(scene.boxes[i], ray, &axis);
    if (t < tbest) {
      tbest = t;
      kind = 2;
      index = (int)i;
      boxaxis = axis;
    }
  }
  if (dir.y < 0) {
    const double t = -origin.y / dir.y;
    if (t < tbest) {
      tbest = t;
      kind = 3;
    }
  }
  if (kind == 0) return Sky(scene, dir);

  const Vec p = origin + dir * tbest;
  Vec c;
  if (kind == 1) {
    const Sphere &s = scene.spheres[index];
    c = ShadeSurface(scene, p, Normalize(p - s.centre), s.albedo, s.gloss, dir);
  } else if (kind == 2) {
    const Box &b = scene.boxes[index];
    // Stone courses: darker joints every 0.5 units of height.
    const double course = p.y * 2.0 - std::floor(p.y * 2.0);
    const Vec albedo = course < 0.06 ? b.albedo * 0.55 : b.albedo;
    c = ShadeSurface(scene, p, FaceNormal(boxaxis, dir), albedo, 0.0, dir);
  } else {
    // Tiles one unit square; the footprint grows with distance and grazing.
    const double wx = tbest * footprint;
    const double wz = wx / std::max(-dir.y, 0.02);
    const double cx = FilteredChecker(p.x, wx);
    const double cz = FilteredChecker(p.z, wz);
    const double odd = cx + cz - 2.0 * cx * cz;  // xor of the two rows
    const Vec light{0.62, 0.57, 0.50}, dark{0.16, 0.17, 0.20};
    c = ShadeSurface(scene, p, Vec{0, 1, 0}, Mix(light, dark, odd), 0.0, dir);
  }
  // Haze towards the horizon, none on the objects nearby.
  const double haze = 1.0 - std::exp(-std::max(0.0, tbest - 20.0) / 120.0);
  return Mix(c, scene.horizon, haze);
}

// The scene at time u, 0 at the first frame and 1 at the last.
Scene MakeScene(double u) {
  Scene s;
  // The sun sets from upper left to the right, behind the objects, so that
  // their shadows reach towards the camera.
  const double azimuth = (-22.0 + 30.0 * u) * PI / 180.0;
  const double elevation = (19.0 - 15.5 * u) * PI / 180.0;
  s.sundir = Normalize(Vec{std::sin(azimuth) * std::cos(elevation), std::sin(elevation),
                           std::cos(azimuth) * std::cos(elevation)});
  s.suninv = MakeRay(Vec{0, 0, 0}, s.sundir).inv;
  const double low = 1.0 - Clamp(elevation / (20.0 * PI / 180.0), 0.0, 1.0);  // 0 high, 1 low
  const Vec white{1.0, 0.93, 0.82}, orange{1.0, 0.55, 0.25};
  const Vec tint = Mix(white, orange, low);
  s.suncolour = tint * (5.0 * (1.0 - 0.5 * low));
  s.disc = tint * 60000.0;
  s.zenith = Mix(Vec{0.20, 0.38, 0.85}, Vec{0.10, 0.16, 0.40}, low) * 1.1;
  s.horizon = Mix(Vec{1.10, 1.05, 1.00}, Vec{1.30, 0.75, 0.45}, low) * 1.2;
  s.ambient = Mix(Vec{0.30, 0.38, 0.55}, Vec{0.20, 0.20, 0.30}, low) * 0.6;

  // A ball bouncing in place, three resting ones.
  const double bounce = std::fabs(std::sin(u * PI * 3.0));
  s.spheres.push_back({{-2.3, 1.0, 9.0}, 1.0, {0.70, 0.12, 0.08}, 0.35});
  s.spheres.push_back({{1.7, 0.6, 7.2}, 0.6, {0.80, 0.80, 0.78}, 0.5});
  s.spheres.push_back({{0.2, 0.35 + 1.4 * bounce, 10.5}, 0.35, {0.10, 0.28, 0.75}, 0.3});
  s.spheres.push_back({{-0.9, 0.25, 6.2}, 0.25, {0.85, 0.65, 0.10}, 0.2});

  const Vec stone{0.55, 0.50, 0.42};
  s.boxes.push_back({{3.0, 0.0, 12.0}, {3.6, 3.0, 12.6}, stone});  // arch pillars
  s.boxes.push_back({{5.6, 0.0, 12.0}, {6.2, 3.0, 12.6}, stone});
  s.boxes.push_back({{2.8, 3.0, 11.2}, {6.4, 3.6, 13.4}, stone});  // lintel
  s.boxes.push_back({{-6.2, 0.0, 16.0}, {-5.4, 6.0, 16.8}, {0.45, 0.42, 0.40}});  // obelisk

  // Shadow extents: the bounding box's corners slid along the sun's rays
  // down to the ground, the box's own footprint included.
  for (size_t i = 0; i < s.spheres.size() + s.boxes.size(); i++) {
    Vec lo, hi;
    ObjectBounds(s, i, &lo, &hi);
    Scene::Rect r{FAR, -FAR, FAR, -FAR};
    for (int k = 0; k < 8; k++) {
      const Vec c = Corner(lo, hi, k);
      const Vec g = c - s.sundir * (c.y / s.sundir.y);
      for (const Vec &q : {c, g}) {
        r.x0 = std::min(r.x0, q.x - 1e-3);
        r.x1 = std::max(r.x1, q.x + 1e-3);
        r.z0 = std::min(r.z0, q.z - 1e-3);
        r.z1 = std::max(r.z1, q.z + 1e-3);
      }
    }
    s.shadows.push_back(r);
  }
  return s;
}

struct Camera {
  Vec origin;
  double tanhalf;  // tangent of half the horizontal field of view
  double pitch;    // radians, positive looks up
};

// Renders rows [first, last) of one picture, rows top to bottom as a
// Radiance file stores them, and finds their darkest and brightest pixel.
void RenderRows(const Scene &scene, const Camera &cam, int width, int height, int first, int last,
                float *out, double *lo, double *hi) {
  const double cp = std::cos(cam.pitch), sp = std::sin(cam.pitch);
  const double pixel = 2.0 * cam.tanhalf / width;  // image-plane size of a pixel at distance 1
  const Vec forward{0, sp, cp}, up{0, cp, -sp};

  // Where each object can appear on the picture: its bounding box's corners
  // projected, with a margin of two pixels. An object reaching behind the
  // camera may appear anywhere.
  struct Span {
    double c0, c1, r0, r1;
  };
  const size_t nobjects = scene.spheres.size() + scene.boxes.size();
  std::vector<Span> spans(nobjects);
  for (size_t i = 0; i < nobjects; i++) {
    Vec blo, bhi;
    ObjectBounds(scene, i, &blo, &bhi);
    Span sp2{FAR, -FAR, FAR, -FAR};
    for (int k = 0; k < 8; k++) {
      const Vec rel = Corner(blo, bhi, k) - cam.origin;
      const double depth = Dot(rel, forward);
      if (depth < 1e-3) {
        sp2 = {-FAR, FAR, -FAR, FAR};
        break;
      }
      const double col = (rel.x / depth) / pixel + width * 0.5 - 0.5;
      const double row = height * 0.5 - 0.5 - (Dot(rel, up) / depth) / pixel;
      sp2.c0 = std::min(sp2.c0, col - 2);
      sp2.c1 = std::max(sp2.c1, col + 2);
      sp2.r0 = std::min(sp2.r0, row - 2);
      sp2.r1 = std::max(sp2.r1, row + 2);
    }
    spans[i] = sp2;
  }

  double minlum = FAR, maxlum = 0.0;
  float *px = out + (size_t)first * (size_t)width * 3;
  for (int row = first; row < last; row++) {
    const double v = (height * 0.5 - (row + 0.5)) * pixel;
    for (int col = 0; col < width; col++, px += 3) {
      uint32_t mask = 0;
      for (size_t i = 0; i < nobjects; i++) {
        const Span &a = spans[i];
        if (col >= a.c0 && col <= a.c1 && row >= a.r0 && row <= a.r1) mask |= 1u << i;
      }
      const double h = ((col + 0.5) - width * 0.5) * pixel;
      // Camera looks along +z, tilted about the x axis by the pitch.
      const Vec d = Normalize(Vec{h, v * cp + sp, -v * sp + cp});
      const Vec c = Trace(scene, cam.origin, d, pixel, mask);
      px[0] = (float)c.x;
      px[1] = (float)c.y;
      px[2] = (float)c.z;
      const double lum = 0.2126 * px[0] + 0.7152 * px[1] + 0.0722 * px[2];
      minlum = std::min(minlum, lum);
      maxlum = std::max(maxlum, lum);
    }
  }
  *lo = minlum;
  *hi = maxlum;
}

// Renders one picture on two threads, each taking every other band of rows.
// Every pixel depends on its position and the scene alone, so the result
// does not depend on the threads.
void Render(const Scene &scene, const Camera &cam, int width, int height, std::vector<float> *out,
            double *lo, double *hi) {
  out->resize((size_t)width * (size_t)height * 3);
  constexpr int BAND = 16;
  double los[2] = {FAR, FAR}, his[2] = {0.0, 0.0};
  auto work = [&](int part) {
    for (int first = part * BAND; first < height; first += 2 * BAND) {
      double l, h;
      RenderRows(scene, cam, width, height, first, std::min(height, first + BAND), out->data(), &l,
                 &h);
      los[part] = std::min(los[part], l);
      his[part] = std::max(his[part], h);
    }
  };
  std::thread helper(work, 1);
  work(0);
  helper.join();
  *lo = std::min(los[0], los[1]);
  *hi = std::max(his[0], his[1]);
}

bool WritePicture(const std::string &path, const std::vector<float> &pixels, int width, int height) {
  FILE *fp = fopen(path.c_str(), "wb");
  if (fp == nullptr) {
    fprintf(stderr, "halvdemo: cannot create %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  RGBE_PictureInfo info{};
  info.flags = RGBE_HAS_PROGRAM;
  strcpy(info.program, "RADIANCE");
  bool ok = RGBE_WriteHeader(fp, width, height, &info) == 0 &&
            RGBE_WritePixels_RLE(fp, pixels.data(), width, height) == 0;
  if (fclose(fp) != 0) ok = false;
  if (!ok) fprintf(stderr, "halvdemo: failed to write %s\n", path.c_str());
  return ok;
}

[[noreturn]] void Usage(const char *program, int status) {
  fprintf(status ? stderr : stdout,
          "Usage: %s [-n frames] [-x width] [-y height] [-s] [-p prefix] directory\n"
          "Writes an HDR picture sequence (Radiance .hdr files) and a file list\n"
          "for halvpack into the directory, which is created if needed.\n"
          "  -n frames   number of frames (default 48)\n"
          "  -x width    picture width (default 720)\n"
          "  -y height   picture height (default 486)\n"
          "  -s          stereo: a left and a right picture per frame, and a\n"
          "              two-column list (pack it with halvpack -e 2)\n"
          "  -p prefix   file name prefix (default demo): pictures prefix_NNN.hdr\n"
          "              (prefix_left_NNN.hdr and prefix_right_NNN.hdr with -s),\n"
          "              list prefix.list\n"
          "The list names the pictures relative to the directory: run halvpack there.\n",
          program);
  exit(status);
}

int ParseNumber(const char *program, const char *text, int lo, int hi, const char *what) {
  char *end = nullptr;
  errno = 0;
  const long value = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < lo || value > hi) {
    fprintf(stderr, "halvdemo: %s must be a whole number from %d to %d, not \"%s\"\n", what, lo, hi,
            text);
    Usage(program, 2);
  }
  return (int)value;
}

bool MakeDirectories(const std::string &path) {
  std::string partial;
  size_t pos = 0;
  while (pos <= path.size()) {
    const size_t slash = path.find('/', pos);
    const size_t end = slash == std::string::npos ? path.size() : slash;
    partial = path.substr(0, end);
    if (!partial.empty() && mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int main(int argc, char **argv) {
  int frames = 48, width = 720, height = 486;
  bool stereo = false;
  std::string prefix = "demo", dir;
  for (int i = 1; i < argc; i++) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char * {
      if (i + 1 >= argc) {
        fprintf(stderr, "halvdemo: %s needs a value\n", arg.c_str());
        Usage(argv[0], 2);
      }
      return argv[++i];
    };
    if (arg == "-h" || arg == "--help") {
      Usage(argv[0], 0);
    } else if (arg == "-n") {
      frames = ParseNumber(argv[0], value(), 1, 100000, "the frame count");
    } else if (arg == "-x") {
      width = ParseNumber(argv[0], value(), 16, 31999, "the width");
    } else if (arg == "-y") {
      height = ParseNumber(argv[0], value(), 16, 31999, "the height");
    } else if (arg == "-s") {
      stereo = true;
    } else if (arg == "-p") {
      prefix = value();
      if (prefix.empty() || prefix.find_first_of(" \t\r\n/") != std::string::npos) {
        fprintf(stderr, "halvdemo: the prefix must be a non-empty word without '/'\n");
        Usage(argv[0], 2);
      }
    } else if (!arg.empty() && arg[0] == '-') {
      fprintf(stderr, "halvdemo: unknown option %s\n", arg.c_str());
      Usage(argv[0], 2);
    } else if (dir.empty()) {
      dir = arg;
    } else {
      fprintf(stderr, "halvdemo: only one directory, please\n");
      Usage(argv[0], 2);
    }
  }
  if (dir.empty()) Usage(argv[0], 2);
  if (!MakeDirectories(dir)) {
    fprintf(stderr, "halvdemo: cannot create the directory %s: %s\n", dir.c_str(), strerror(errno));
    return 1;
  }

  const std::string listname = prefix + ".list";
  FILE *list = fopen((dir + "/" + listname).c_str(), "w");
  if (list == nullptr) {
    fprintf(stderr, "halvdemo: cannot create %s/%s: %s\n", dir.c_str(), listname.c_str(),
            strerror(errno));
    return 1;
  }

  // 60 degrees across, the horizon a little below the middle; the two eyes
  // of a stereo pair 12 cm apart, looking the same way.
  const double tanhalf = std::tan(30.0 * PI / 180.0);
  const double pitch = 3.0 * PI / 180.0;
  const double eyeheight = 1.4, separation = 0.12;

  std::vector<float> pixels;
  double darkest = FAR, brightest = 0.0, narrowest = FAR;
  for (int f = 0; f < frames; f++) {
    const double u = frames > 1 ? (double)f / (frames - 1) : 0.0;
    const Scene scene = MakeScene(u);
    char number[16];
    snprintf(number, sizeof(number), "%03d", f);
    std::string names[2];
    const int eyes = stereo ? 2 : 1;
    for (int eye = 0; eye < eyes; eye++) {
      double x = 0.0;
      if (stereo) x = eye == 0 ? -0.5 * separation : 0.5 * separation;
      const Camera cam{{x, eyeheight, 0.0}, tanhalf, pitch};
      double lo, hi;
      Render(scene, cam, width, height, &pixels, &lo, &hi);
      darkest = std::min(darkest, lo);
      brightest = std::max(brightest, hi);
      narrowest = std::min(narrowest, hi / std::max(lo, 1e-30));
      names[eye] = prefix + (stereo ? (eye == 0 ? "_left_" : "_right_") : "_") + number + ".hdr";
      if (!WritePicture(dir + "/" + names[eye], pixels, width, height)) return 1;
    }
    if (stereo)
      fprintf(list, "%s %s\n", names[0].c_str(), names[1].c_str());
    else
      fprintf(list, "%s\n", names[0].c_str());
  }
  if (fclose(list) != 0) {
    fprintf(stderr, "halvdemo: failed to write %s/%s\n", dir.c_str(), listname.c_str());
    return 1;
  }
  const char *what = stereo ? (frames == 1 ? "stereo pair" : "stereo pairs")
                            : (frames == 1 ? "picture" : "pictures");
  printf("halvdemo: %d %s of %d x %d and %s in %s\n", frames, what, width, height, listname.c_str(),
         dir.c_str());
  printf("halvdemo: luminance from %.3g to %.3g; every picture spans at least %.3g:1\n", darkest,
         brightest, narrowest);
  return 0;
}
