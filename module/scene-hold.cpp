#include "module/scene-hold.hpp"

namespace {

bool holdSource(void *param, obs_source_t *source)
{
	if (obs_source_t *ref = obs_source_get_ref(source)) {
		static_cast<std::vector<OBSSourceAutoRelease> *>(param)->emplace_back(ref);
	}
	return true;
}

#if LIBOBS_API_VER >= MAKE_SEMANTIC_VERSION(31, 0, 0)
struct CanvasWalk {
	obs_canvas_t *main;
	std::vector<OBSSourceAutoRelease> *held;
};

bool holdOtherCanvasScenes(void *param, obs_canvas_t *canvas)
{
	auto *walk = static_cast<CanvasWalk *>(param);
	if (canvas != walk->main) {
		obs_canvas_enum_scenes(canvas, holdSource, walk->held);
	}
	return true;
}
#endif

} // namespace

void SceneHold::take()
{
	release();
	obs_enum_scenes(holdSource, &held);
#if LIBOBS_API_VER >= MAKE_SEMANTIC_VERSION(31, 0, 0)
	OBSCanvasAutoRelease mainCanvas = obs_get_main_canvas();
	CanvasWalk walk{mainCanvas.Get(), &held};
	obs_enum_canvases(holdOtherCanvasScenes, &walk);
#endif
	obs_enum_sources(holdSource, &held);
}

void SceneHold::release()
{
	held.clear();
}
