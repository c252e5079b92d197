// The engine as a whole: start and exit, the project, rendering, change observers and the
// catalogue of node types, pins and attributes.
#pragma once

#include "apinodes.h"

namespace Zarnik {

// Starts the engine embedded in the calling process. productId must be eight upper-case
// letters. On failure answers false and points *errorText (when given) at a library-owned
// message. The callback, when given, is told of fatal engine errors.
typedef void (*ApiErrorCallback)(void* userData, const char* message);
bool apiMode_Shared_start(const char* productId, bool allowGui, const char** errorText, ApiErrorCallback callback,
                          void* userData);
// Ends the engine: every item is freed, observers are dropped, rendering stops.
void apiMode_Shared_exit(const char** errorText);

class ApiProjectManager {
public:
    // The graph that owns the scene's nodes.
    static ApiRootNodeGraph& rootNodeGraph();
    // The project's settings item (outside the root graph).
    static ApiNode& projectSettings();
};

class ApiRenderEngine {
public:
    enum : RenderPriority { PRIORITY_LOW = 0, PRIORITY_NORMAL = 1, PRIORITY_HIGH = 2 };
    enum : PreviewType { PREVIEW_FLAT = 0, PREVIEW_SPHERE = 1 };

    // Refused (false) for a node that is not a render target; null clears the target.
    static bool setRenderTargetNode(ApiNode* node);
    static ApiNode* getRenderTargetNode();

    static void setRenderPriority(RenderPriority priority);
    static RenderPriority renderPriority();

    static void restartRendering();
    static void continueRendering();
    static void pauseRendering();
    static void stopRendering();
    static bool isRenderingPaused();
    static bool isRenderingStopped();
    // Counts restarts, for observing that a change reached the renderer.
    static uint64_t restartCount();

    // Renders a preview of a material into a caller-owned RGBA buffer of width x height x 4
    // bytes, rows top to bottom. False (buffer untouched) for a node that is not a material.
    static bool previewMaterial(ApiNode* material, uint32_t width, uint32_t height, uint32_t samples,
                                float distance, PreviewType type, uint8_t* buffer);

    // The picture of the current frame: 8-bit RGBA, rows top to bottom, after exposure and
    // display encoding, with the samples every pixel has. With a null buffer only the sizes
    // are answered. False when nothing was rendered since the engine started, or when the
    // buffer holds fewer than width x height x 4 bytes.
    static bool copyImage(uint32_t& width, uint32_t& height, uint64_t& samples, uint8_t* buffer,
                          size_t bufferSize);
    // Saves the picture as a PNG file; false when there is none or the file cannot be written.
    static bool saveImage(const char* path);
    // Samples every pixel of the current frame has.
    static uint64_t samplesDone();
    // Waits until the frame has that many samples, or rendering cannot reach them (paused,
    // stopped, restarted, finished), or the time is up; true when they were reached.
    static bool waitForSamples(uint64_t samples, uint32_t timeoutMs);
};

class ApiChangeManager {
public:
    struct ChangeEvent {
        enum Type : uint32_t {
            ITEM_ADDED = 1,
            ITEM_DELETE = 2,
            CONNECTION_CHANGED = 4,
            DESTINATION_ADDED = 8,
            PINS_CHANGED = 16,
            ITEM_VALUE_CHANGED = 32,
            ITEM_NAME_CHANGED = 64,
            ITEM_MOVED = 128,
            LINKER_ORDER_CHANGED = 256,
            ITEM_UI_OPERATION_FLAG_CHANGED = 512,
        };
        Type type;
        ApiItem* changedItem;
        ApiItem* itemOwner;     // the owning node or graph of the changed item, or null
        int32_t pinIx;          // the pin concerned, or -1
    };

    typedef void (*ObserverCallback)(const ChangeEvent& event, void* userData);
    // An observer is identified by its callback and user data together.
    struct Observer {
        ObserverCallback callback;
        void* userData;
    };

    // Events are delivered synchronously, on the thread that made the change, to every
    // observer whose mask has the event's bit and that watches the changed item or an item
    // that depends on it (a pin owner or destination, transitively); an observer hears of
    // one change once, however many of its items it reaches.
    static void observeApiItem(const ApiItem& item, const Observer& observer, uint32_t eventMask);
    static void stopObserving(const ApiItem& item, const Observer& observer);
    static void stopObserving(const Observer& observer);
    static void stopObserving();
    // Takes in a batch of changes before rendering resumes.
    static void update();
    static uint64_t updateCount();
};

class ApiInfo {
public:
    static const ApiNodeInfo* nodeInfo(NodeType type);     // null for an unknown type
    static const char* getNodeTypeName(NodeType type);     // "unknown" for an unknown type
    static const char* getGraphTypeName(NodeGraphType type);
    static const char* getPinIdName(PinId id);
    static const char* getAttributeIdName(AttributeId id);
    static const char* getPinTypeName(NodePinType type);
    static const char* getAttributeTypeName(AttributeType type);
    // Node types that can be plugged into a pin of the given kind, in catalogue order.
    static ApiArray<NodeType> nodeTypesForPinType(NodePinType type);
    // Every node type of the catalogue, in ascending order.
    static ApiArray<NodeType> nodeTypes();
};

}  // namespace Zarnik
