#version 3.7;
global_settings { assumed_gamma 1.0 max_trace_level 5 }
#declare T = clock;
camera { location <-2 + 1.2*T, 1.6, -7> look_at <0, 0.8, 0> angle 55 }
// A bright sun and a dim interior: several decades of luminance.
light_source { <30, 40, -20> color rgb <60, 55, 45> }
light_source { <-1.5, 2.2, 1.0> color rgb <1.5, 1.2, 0.8> fade_distance 1 fade_power 2 }
sky_sphere { pigment { gradient y color_map { [0 color rgb <2.5, 3.0, 4.0>] [1 color rgb <0.3, 0.5, 1.6>] } } }
sphere { <30, 40, -20>*3, 6 pigment { color rgb <4000, 3800, 3000> } finish { emission 1 diffuse 0 } no_shadow }
plane { y, 0 pigment { checker color rgb <0.6, 0.6, 0.55> color rgb <0.08, 0.08, 0.1> scale 1.0 } finish { diffuse 0.7 reflection 0.05 } }
box { <-3, 0, 1.5>, <3, 3, 1.8> pigment { color rgb <0.7, 0.65, 0.6> } }
box { <-3, 0, -1>, <-2.7, 3, 1.5> pigment { color rgb <0.7, 0.65, 0.6> } }
box { <-3, 2.9, -1>, <3, 3.0, 1.8> pigment { color rgb <0.2, 0.2, 0.2> } }
sphere { <0.5*sin(2*pi*T), 0.7, 0>, 0.7 pigment { color rgb <0.9, 0.1, 0.1> } finish { phong 0.9 phong_size 60 reflection 0.15 } }
sphere { <1.8, 0.4, -1.2 + 0.5*T>, 0.4 pigment { color rgb <0.1, 0.3, 0.9> } finish { phong 0.7 } }
cylinder { <-1.6, 0, -0.3>, <-1.6, 1.6, -0.3>, 0.15 pigment { color rgb <0.2, 0.8, 0.2> } }
sphere { <-1.5, 2.2, 1.0>, 0.08 pigment { color rgb <300, 250, 180> } finish { emission 1 diffuse 0 } no_shadow }
