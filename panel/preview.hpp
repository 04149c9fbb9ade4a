#pragma once

#include <QWidget>

#include <cstdint>

class LiveEntry;
class EntryPipeline;

// The native child window into which OBS draws what an entry sends; Qt never paints it.
class PreviewWidget : public QWidget {
	Q_OBJECT

public:
	explicit PreviewWidget(QWidget *parent);
	~PreviewWidget() override;

	QPaintEngine *paintEngine() const override { return nullptr; }
};

// Where a W×H picture goes inside a cx×cy display: the largest centred rectangle of the same shape.
struct PreviewRect {
	int x = 0;
	int y = 0;
	int width = 0;
	int height = 0;
};
PreviewRect previewRect(uint32_t pictureWidth, uint32_t pictureHeight, uint32_t cx, uint32_t cy);

// Shows the preview and keeps its OBS display in step with the widget while it is wanted and the entry streams;
// otherwise hides it and destroys the display, so a preview costs nothing while it is not seen.
void updatePreviewDisplay(PreviewWidget *widget, LiveEntry *liveEntry, bool wanted);

// Destroys the pipeline's preview display, if any.
void destroyPreviewDisplay(EntryPipeline *pipeline);

// OBS's draw callback, on the graphics thread; param is the EntryPipeline.
void drawPreview(void *param, uint32_t cx, uint32_t cy);
