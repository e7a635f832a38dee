// The moving picture: scenes and .y4m files, frame by frame.
#include "demo/source.h"

#include <algorithm>

bool source_open(const demo_options &o, picture_source &s, std::string *error)
{
    s.scene = o.scene;
    s.fps = o.fps;
    s.from_file = !o.y4m.empty();
    if (!s.from_file)
        return true;
    if (!y4m_open(o.y4m, &s.video, error))
        return false;
    s.fps = std::min(60.0, std::max(1.0, s.video.fps));
    return true;
}

bool source_draw(picture_source &s, long n, yuv_picture &p, std::string *label, int *position,
                 std::string *error)
{
    *label = s.from_file ? "y4m" : scene_names()[static_cast<size_t>(scene_at(s.scene, n / s.fps))];
    *position = static_cast<int>(n);
    if (!s.from_file) {
        *position = scene_draw(s.scene, n / s.fps, p);
    } else {
        for (; s.drawn < n; s.drawn++)  // frames the decoder fell behind on are skipped
            if (!y4m_next(&s.video, error))
                return false;
        y4m_scale(s.video, p);
    }
    s.drawn = n;
    return true;
}
