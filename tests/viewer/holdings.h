// The buffer globals of each viewer by the names its lines give them, for the tests that
// check what a program holds: the running mode's buffers, and no other's.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "clusterview/kernel.h"
#include "faulty_memory.h"
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
    namespace fv = fractview;
    namespace sc = spherecast;
    namespace gs = gravsim;
    namespace cv = clusterview;
    static const std::vector<Global> tables[] = {
        {{"pixels", &fv::pixels, false}, {"pixels_gpu", &fv::pixels_gpu, true}},
        {{"pixels", &sc::pixels, false}, {"spheres", &sc::spheres, false}, {"pixels_gpu", &sc::pixels_gpu, true}},
        {{"pos", &gs::pos, false}, {"vel", &gs::vel, false}, {"mass", &gs::mass, false}, {"d_pos0", &gs::d_pos0, true},
         {"d_pos1", &gs::d_pos1, true}, {"d_vel0", &gs::d_vel0, true}, {"d_vel1", &gs::d_vel1, true},
         {"d_mass", &gs::d_mass, true}},
        {{"points", &cv::points, false}, {"pointColors", &cv::pointColors, false}, {"pointLabel", &cv::pointLabel, false},
         {"centroids", &cv::centroids, false}, {"centroidColors", &cv::centroidColors, false},
         {"d_points", &cv::d_points, true}, {"d_pointColors", &cv::d_pointColors, true},
         {"d_pointLabel", &cv::d_pointLabel, true}, {"d_centroids", &cv::d_centroids, true},
         {"d_centroidColors", &cv::d_centroidColors, true}}};
    return tables[program == "fractview" ? 0 : program == "spherecast" ? 1 : program == "gravsim" ? 2 : 3];
}

inline void* valueOf(const Global& g) {
    void* p;
    memcpy(&p, g.at, sizeof p);
    return p;
}

// What mode `mode` of the program holds at `count` (spheres, bodies, points; fractview has
// none), in the order it takes them.
inline std::vector<faulty::Buffer> modeBuffers(const std::string& program, int mode, int count) {
    const size_t n = (size_t)count, k16 = 16 * clusterview::clusterCount, image = fractview::kImageBytes;
    std::vector<faulty::Buffer> b;
    if (program == "fractview") b = {{"pixels", image, false}};
    if (program == "spherecast") b = {{"pixels", image, false}, {"spheres", n * 28, false}};
    if (program == "gravsim") b = {{"pos", n * 16, false}, {"vel", n * 16, false}, {"mass", n * 4, false}};
    if (program == "clusterview")
        b = {{"points", n * 16, false}, {"pointColors", n * 16, false}, {"pointLabel", n * 4, false},
             {"centroids", k16, false}, {"centroidColors", k16, false}};
    if (mode < 2) return b;
    if (program == "fractview" || program == "spherecast") b.push_back({"pixels_gpu", image, true});
    if (program == "gravsim")
        b.insert(b.end(), {{"d_pos0", n * 16, true}, {"d_pos1", n * 16, true}, {"d_vel0", n * 16, true},
                           {"d_vel1", n * 16, true}, {"d_mass", n * 4, true}});
    if (program == "clusterview")
        b.insert(b.end(), {{"d_points", n * 16, true}, {"d_pointColors", n * 16, true}, {"d_pointLabel", n * 4, true},
                           {"d_centroids", k16, true}, {"d_centroidColors", k16, true}});
    return b;
}

// The value of the program's global `name`, null for a name it does not have.
inline void* named(const std::string& program, const std::string& name) {
    for (const Global& g : of(program))
        if (name == g.name) return valueOf(g);
    return nullptr;
}

}  // namespace holdings
