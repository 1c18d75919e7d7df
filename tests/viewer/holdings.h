// The buffer globals of each viewer by the names its lines give them, for the tests that
// check what a program holds: the running mode's buffers, and no other's.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "clusterview/kernel.h"
#include "fractview/kernel.h"
#include "gravsim/kernel.h"
#include "spherecast/kernel.h"

namespace holdings {

struct Global {
    const char* name;
    const void* at;  // the global's address (a pointer variable of any type)
    bool device;
};

inline const std::vector<Global>& of(const std::string& program) {
    namespace cv = clusterview;
    static const std::vector<Global> fractview{{"pixels", &fractview::pixels, false},
                                               {"pixels_gpu", &fractview::pixels_gpu, true}};
    static const std::vector<Global> spherecast{{"pixels", &spherecast::pixels, false},
                                                {"spheres", &spherecast::spheres, false},
                                                {"pixels_gpu", &spherecast::pixels_gpu, true}};
    static const std::vector<Global> gravsim{
        {"pos", &gravsim::pos, false},       {"vel", &gravsim::vel, false},       {"mass", &gravsim::mass, false},
        {"d_pos0", &gravsim::d_pos0, true},  {"d_pos1", &gravsim::d_pos1, true},  {"d_vel0", &gravsim::d_vel0, true},
        {"d_vel1", &gravsim::d_vel1, true},  {"d_mass", &gravsim::d_mass, true}};
    static const std::vector<Global> clusterview{
        {"points", &cv::points, false},          {"pointColors", &cv::pointColors, false},
        {"pointLabel", &cv::pointLabel, false},  {"centroids", &cv::centroids, false},
        {"centroidColors", &cv::centroidColors, false}, {"d_points", &cv::d_points, true},
        {"d_pointColors", &cv::d_pointColors, true},    {"d_pointLabel", &cv::d_pointLabel, true},
        {"d_centroids", &cv::d_centroids, true},        {"d_centroidColors", &cv::d_centroidColors, true}};
    return program == "fractview" ? fractview : program == "spherecast" ? spherecast
                                              : program == "gravsim"    ? gravsim
                                                                        : clusterview;
}

inline void* valueOf(const Global& g) {
    void* p;
    memcpy(&p, g.at, sizeof p);
    return p;
}

// The value of the program's global `name`, null for a name it does not have.
inline void* named(const std::string& program, const std::string& name) {
    for (const Global& g : of(program))
        if (name == g.name) return valueOf(g);
    return nullptr;
}

}  // namespace holdings
