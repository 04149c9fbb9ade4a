#include "panel/preview.hpp"
#include "engine/live-entry.hpp"

#include <obs.h>
#if !defined(_WIN32)
#include <obs-nix-platform.h>
#endif

#include <algorithm>

PreviewWidget::PreviewWidget(QWidget *parent) : QWidget(parent)
{
	for (Qt::WidgetAttribute attribute :
	     {Qt::WA_PaintOnScreen, Qt::WA_StaticContents, Qt::WA_NoSystemBackground, Qt::WA_OpaquePaintEvent,
	      Qt::WA_DontCreateNativeAncestors, Qt::WA_NativeWindow}) {
		setAttribute(attribute, true);
	}
	setFixedHeight(130);
	setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
	hide();
}

PreviewWidget::~PreviewWidget() = default;

PreviewRect previewRect(uint32_t pictureWidth, uint32_t pictureHeight, uint32_t cx, uint32_t cy)
{
	PreviewRect rect;
	if (pictureWidth == 0 || pictureHeight == 0 || cx == 0 || cy == 0) {
		return rect;
	}
	const float scale = std::min(float(cx) / float(pictureWidth), float(cy) / float(pictureHeight));
	rect.width = int(scale * float(pictureWidth));
	rect.height = int(scale * float(pictureHeight));
	rect.x = int(cx) / 2 - rect.width / 2;
	rect.y = int(cy) / 2 - rect.height / 2;
	return rect;
}

void destroyPreviewDisplay(EntryPipeline *pipeline)
{
	if (pipeline && pipeline->display) {
		obs_display_destroy(pipeline->display);
	}
	if (pipeline) {
		pipeline->display = nullptr;
		pipeline->displayWindow = 0;
	}
}

void updatePreviewDisplay(PreviewWidget *widget, LiveEntry *liveEntry, bool wanted)
{
	EntryPipeline *pipeline = liveEntry ? liveEntry->pipelineHandle() : nullptr;
	if (!wanted || !liveEntry || !liveEntry->isRunning()) {
		widget->hide();
		destroyPreviewDisplay(pipeline);
		return;
	}
	widget->show();
	if (!pipeline) {
		return;
	}
	const qreal ratio = widget->devicePixelRatioF();
	const auto width = uint32_t(qreal(widget->width()) * ratio);
	const auto height = uint32_t(qreal(widget->height()) * ratio);
	const auto window = uint64_t(widget->winId());
	if ((!pipeline->viewHandle() && !pipeline->usesObsVideo()) || window == 0 || width == 0 || height == 0) {
		destroyPreviewDisplay(pipeline);
		return;
	}
	// A re-docked panel gets a new native window: the old display draws nowhere.
	if (pipeline->display && pipeline->displayWindow != window) {
		destroyPreviewDisplay(pipeline);
	}
	if (pipeline->display) {
		obs_display_resize(pipeline->display, width, height);
		obs_display_set_enabled(pipeline->display, true);
		return;
	}
	gs_init_data init = {};
#if defined(_WIN32)
	init.window.hwnd = reinterpret_cast<void *>(window);
#else
	init.window.id = uint32_t(window);
	init.window.display = obs_get_nix_platform_display();
#endif
	init.cx = width;
	init.cy = height;
	init.format = GS_BGRA;
	init.zsformat = GS_ZS_NONE;
	init.num_backbuffers = 0;
	init.adapter = 0;
	pipeline->display = obs_display_create(&init, 0xFF000000);
	if (pipeline->display) {
		pipeline->displayWindow = window;
		obs_display_add_draw_callback(pipeline->display, drawPreview, pipeline);
		obs_display_set_enabled(pipeline->display, true);
	}
}

void drawPreview(void *param, uint32_t cx, uint32_t cy)
{
	auto *pipeline = static_cast<EntryPipeline *>(param);
	obs_view_t *view = pipeline->viewHandle();
	const uint32_t width = pipeline->width();
	const uint32_t height = pipeline->height();
	if (width == 0 || height == 0 || cx == 0 || cy == 0) {
		return;
	}
	if (!view) {
		// OBS's program at OBS's size: OBS's own picture, drawn as OBS's preview draws it.
		obs_video_info ovi = {};
		if (!pipeline->usesObsVideo() || !obs_get_video_info(&ovi)) {
			return;
		}
		const PreviewRect rect = previewRect(width, height, cx, cy);
		gs_viewport_push();
		gs_projection_push();
		gs_ortho(0.0f, float(ovi.base_width), 0.0f, float(ovi.base_height), -100.0f, 100.0f);
		gs_set_viewport(rect.x, rect.y, rect.width, rect.height);
		obs_render_main_texture();
		gs_projection_pop();
		gs_viewport_pop();
		return;
	}
	obs_source_t *source = obs_view_get_source(view, 0);
	if (!source) {
		return;
	}
	const PreviewRect rect = previewRect(width, height, cx, cy);
	gs_viewport_push();
	gs_projection_push();
	gs_ortho(0.0f, float(width), 0.0f, float(height), -100.0f, 100.0f);
	gs_set_viewport(rect.x, rect.y, rect.width, rect.height);
	obs_source_video_render(source);
	gs_projection_pop();
	gs_viewport_pop();
	obs_source_release(source);
}
