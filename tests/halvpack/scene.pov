// A small animated scene for the builder's tests: one very bright light,
// a checkered floor, and objects that cast dark shadows. The clock moves the
// light and turns the box, so every frame differs.
#version 3.7;
global_settings { assumed_gamma 1.0 }
camera { location <0, 2, -6> look_at <0, 0.6, 0> }
light_source { <4 + 2 * clock, 6, -3> color rgb <40, 36, 30> }
plane { y, 0 pigment { checker color rgb 0.9 color rgb 0.02 } }
sphere { <-1, 1, 0>, 1 pigment { color rgb <0.8, 0.2, 0.1> } finish { specular 0.8 } }
box { <0.5, 0, -0.5>, <1.5, 1.5, 0.5> rotate y * 30 * clock pigment { color rgb <0.1, 0.3, 0.9> } }
sphere { <0.2, 3.2, 1.5>, 0.3 pigment { color rgb 1 } finish { emission 200 } no_shadow }
