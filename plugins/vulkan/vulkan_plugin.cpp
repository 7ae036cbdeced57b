// GPU plug-in on Vulkan compute: buffers in device memory, one compute pipeline per
// operator, and command recording without waiting. Up to four operators share a
// command buffer before it is submitted; the host waits only when it touches memory
// (buffer_write, buffer_map) or frees a buffer, and then for the last submitted work.
#include <vulkan/vulkan.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "device/gpu_plugin.h"
#include "vulkan_shaders.h"

#define KX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr int kDispatchesPerSubmit = 4;
constexpr int kCommandSlots = 8;
constexpr uint32_t kGroupSize = 64;  // local_size_x of every shader
constexpr int kBindings = 5;         // four operator buffers and the constant tables
constexpr uint32_t kNoType = UINT32_MAX;

thread_local char t_last_error[256];

bool fail(const char* format, ...) {
    va_list list;
    va_start(list, format);
    std::vsnprintf(t_last_error, sizeof(t_last_error), format, list);
    va_end(list);
    return false;
}

struct Buffer {
    kx_buffer_t head;  // size and flags; storage stays null (not host memory)
    VkBuffer buffer;
    VkDeviceMemory memory;
    void* mapped;  // host-visible device memory, or null when staged
    VkBuffer staging;
    VkDeviceMemory staging_memory;
    void* staging_mapped;
    // Host writes through the staging copy that never reached the device: the buffer
    // holds stale contents until it is written whole again, so every use fails.
    bool stale;
};

enum Shader { ADD, LINEAR, LSTM_CELL, STANDARDIZE, SOFTMAX, MATMUL_F32, RELU, GELU, NORMALIZE_QUANTIZE, SHADER_COUNT };

struct Code {
    const uint32_t* words;
    size_t bytes;
};

const Code kCode[SHADER_COUNT] = {
    {kx_spv_add, sizeof(kx_spv_add)},
    {kx_spv_linear, sizeof(kx_spv_linear)},
    {kx_spv_lstm_cell, sizeof(kx_spv_lstm_cell)},
    {kx_spv_standardize, sizeof(kx_spv_standardize)},
    {kx_spv_softmax, sizeof(kx_spv_softmax)},
    {kx_spv_matmul_f32, sizeof(kx_spv_matmul_f32)},
    {kx_spv_relu, sizeof(kx_spv_relu)},
    {kx_spv_gelu, sizeof(kx_spv_gelu)},
    {kx_spv_normalize_quantize, sizeof(kx_spv_normalize_quantize)},
};

struct Slot {
    VkCommandBuffer commands;
    VkFence fence;
    bool in_flight;
};

struct Gpu {
    VkInstance instance;
    VkPhysicalDevice physical;
    VkDevice device;
    VkQueue queue;
    VkCommandPool pool;
    VkDescriptorSetLayout set_layout;
    VkPipelineLayout layout;
    PFN_vkCmdPushDescriptorSetKHR push_descriptors;
    VkPipeline pipelines[SHADER_COUNT];
    bool pipeline_failed[SHADER_COUNT];
    uint32_t direct_type;   // host-visible, coherent memory type, or kNoType
    uint32_t device_type;   // device-local type for staged buffers
    uint32_t staging_type;  // host-visible, coherent type for staging copies
    uint32_t max_groups;
    bool int16, int8, int64, float64;
    Slot slots[kCommandSlots];
    int current;     // slot being recorded, or -1
    int dispatches;  // operators recorded in it
    Buffer* tables;  // sigmoid, fine and coarse softmax tables as int32
    int64_t submits; // command buffers submitted (for tests of the batching)
    int32_t failing_commands;  // test hook: command buffers still to fail to begin
};

// ------------------------------------------------------------------ memory types

uint32_t find_type(const VkPhysicalDeviceMemoryProperties& properties, VkMemoryPropertyFlags required,
                   VkMemoryPropertyFlags preferred) {
    uint32_t fallback = kNoType;
    for (uint32_t i = 0; i < properties.memoryTypeCount; ++i) {
        const VkMemoryPropertyFlags flags = properties.memoryTypes[i].propertyFlags;
        if ((flags & required) != required) continue;
        if ((flags & preferred) == preferred) return i;
        if (fallback == kNoType) fallback = i;
    }
    return fallback;
}

bool allocate(Gpu* gpu, uint32_t size, uint32_t type, VkBufferUsageFlags usage, VkBuffer* buffer,
              VkDeviceMemory* memory, void** mapped) {
    VkBufferCreateInfo info{VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
    info.size = size ? size : 4;
    info.usage = usage;
    info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
    if (vkCreateBuffer(gpu->device, &info, nullptr, buffer) != VK_SUCCESS) return fail("vkCreateBuffer failed");
    VkMemoryRequirements needs;
    vkGetBufferMemoryRequirements(gpu->device, *buffer, &needs);
    VkMemoryAllocateInfo allocation{VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO};
    allocation.allocationSize = needs.size;
    allocation.memoryTypeIndex = type;
    if (!(needs.memoryTypeBits & (1u << type)) ||
        vkAllocateMemory(gpu->device, &allocation, nullptr, memory) != VK_SUCCESS) {
        vkDestroyBuffer(gpu->device, *buffer, nullptr);
        *buffer = VK_NULL_HANDLE;
        return fail("out of device memory for %u bytes", size);
    }
    if (vkBindBufferMemory(gpu->device, *buffer, *memory, 0) != VK_SUCCESS ||
        (mapped && vkMapMemory(gpu->device, *memory, 0, VK_WHOLE_SIZE, 0, mapped) != VK_SUCCESS)) {
        vkFreeMemory(gpu->device, *memory, nullptr);
        vkDestroyBuffer(gpu->device, *buffer, nullptr);
        *buffer = VK_NULL_HANDLE;
        *memory = VK_NULL_HANDLE;
        return fail("cannot bind or map device memory");
    }
    return true;
}

void release(Gpu* gpu, VkBuffer buffer, VkDeviceMemory memory) {
    if (buffer) vkDestroyBuffer(gpu->device, buffer, nullptr);
    if (memory) vkFreeMemory(gpu->device, memory, nullptr);
}

// ------------------------------------------------------------------ recording and waiting

// Ends and submits the command buffer being recorded, without waiting.
bool submit(Gpu* gpu) {
    if (gpu->current < 0) return true;
    Slot& slot = gpu->slots[gpu->current];
    gpu->current = -1;
    gpu->dispatches = 0;
    // Results become visible to the host once the fence has signalled.
    VkMemoryBarrier barrier{VK_STRUCTURE_TYPE_MEMORY_BARRIER};
    barrier.srcAccessMask = VK_ACCESS_SHADER_WRITE_BIT | VK_ACCESS_TRANSFER_WRITE_BIT;
    barrier.dstAccessMask = VK_ACCESS_HOST_READ_BIT;
    vkCmdPipelineBarrier(slot.commands, VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT | VK_PIPELINE_STAGE_TRANSFER_BIT,
                         VK_PIPELINE_STAGE_HOST_BIT, 0, 1, &barrier, 0, nullptr, 0, nullptr);
    if (vkEndCommandBuffer(slot.commands) != VK_SUCCESS) return fail("vkEndCommandBuffer failed");
    VkSubmitInfo info{VK_STRUCTURE_TYPE_SUBMIT_INFO};
    info.commandBufferCount = 1;
    info.pCommandBuffers = &slot.commands;
    if (vkQueueSubmit(gpu->queue, 1, &info, slot.fence) != VK_SUCCESS) return fail("vkQueueSubmit failed");
    slot.in_flight = true;
    ++gpu->submits;
    return true;
}

bool wait_all(Gpu* gpu) {
    bool ok = true;
    for (Slot& slot : gpu->slots) {
        if (!slot.in_flight) continue;
        if (vkWaitForFences(gpu->device, 1, &slot.fence, VK_TRUE, UINT64_MAX) != VK_SUCCESS)
            ok = fail("the device did not finish its work");
        vkResetFences(gpu->device, 1, &slot.fence);
        slot.in_flight = false;
    }
    return ok;
}

// Before the host touches memory: submit what is recorded and wait for all of it.
bool synchronise(Gpu* gpu) {
    const bool submitted = submit(gpu);
    return wait_all(gpu) && submitted;
}

// Opens a command buffer if none is being recorded and orders the next command after
// every earlier one (operators depend on each other's results).
VkCommandBuffer begin_command(Gpu* gpu) {
    if (gpu->failing_commands > 0) {
        --gpu->failing_commands;
        fail("vkBeginCommandBuffer failed");
        return VK_NULL_HANDLE;
    }
    if (gpu->current < 0) {
        int free_slot = -1;
        for (int i = 0; i < kCommandSlots && free_slot < 0; ++i)
            if (!gpu->slots[i].in_flight) free_slot = i;
        if (free_slot < 0) {
            if (!wait_all(gpu)) return VK_NULL_HANDLE;
            free_slot = 0;
        }
        Slot& slot = gpu->slots[free_slot];
        vkResetCommandBuffer(slot.commands, 0);
        VkCommandBufferBeginInfo info{VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO};
        info.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
        if (vkBeginCommandBuffer(slot.commands, &info) != VK_SUCCESS) {
            fail("vkBeginCommandBuffer failed");
            return VK_NULL_HANDLE;
        }
        gpu->current = free_slot;
    }
    VkCommandBuffer commands = gpu->slots[gpu->current].commands;
    VkMemoryBarrier barrier{VK_STRUCTURE_TYPE_MEMORY_BARRIER};
    // Host writes need no barrier: a submission makes them visible.
    barrier.srcAccessMask = VK_ACCESS_SHADER_WRITE_BIT | VK_ACCESS_TRANSFER_WRITE_BIT;
    barrier.dstAccessMask = VK_ACCESS_SHADER_READ_BIT | VK_ACCESS_SHADER_WRITE_BIT | VK_ACCESS_TRANSFER_READ_BIT |
                            VK_ACCESS_TRANSFER_WRITE_BIT;
    const VkPipelineStageFlags stages = VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT | VK_PIPELINE_STAGE_TRANSFER_BIT;
    vkCmdPipelineBarrier(commands, stages, stages, 0, 1, &barrier, 0, nullptr, 0, nullptr);
    return commands;
}

// Counts a recorded operator; the fourth one submits the command buffer.
bool end_command(Gpu* gpu) {
    if (++gpu->dispatches < kDispatchesPerSubmit) return true;
    return submit(gpu);
}

// ------------------------------------------------------------------ pipelines

bool make_layouts(Gpu* gpu) {
    VkDescriptorSetLayoutBinding bindings[kBindings]{};
    for (int b = 0; b < kBindings; ++b) {
        bindings[b].binding = static_cast<uint32_t>(b);
        bindings[b].descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
        bindings[b].descriptorCount = 1;
        bindings[b].stageFlags = VK_SHADER_STAGE_COMPUTE_BIT;
    }
    VkDescriptorSetLayoutCreateInfo set{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO};
    set.flags = VK_DESCRIPTOR_SET_LAYOUT_CREATE_PUSH_DESCRIPTOR_BIT_KHR;
    set.bindingCount = kBindings;
    set.pBindings = bindings;
    if (vkCreateDescriptorSetLayout(gpu->device, &set, nullptr, &gpu->set_layout) != VK_SUCCESS)
        return fail("vkCreateDescriptorSetLayout failed");
    VkPushConstantRange range{VK_SHADER_STAGE_COMPUTE_BIT, 0, 8 * sizeof(int32_t)};
    VkPipelineLayoutCreateInfo layout{VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO};
    layout.setLayoutCount = 1;
    layout.pSetLayouts = &gpu->set_layout;
    layout.pushConstantRangeCount = 1;
    layout.pPushConstantRanges = &range;
    if (vkCreatePipelineLayout(gpu->device, &layout, nullptr, &gpu->layout) != VK_SUCCESS)
        return fail("vkCreatePipelineLayout failed");
    return true;
}

// Pipelines are built on first use, so a device that never runs an operator pays nothing.
VkPipeline pipeline(Gpu* gpu, Shader shader) {
    if (gpu->pipelines[shader] || gpu->pipeline_failed[shader]) return gpu->pipelines[shader];
    gpu->pipeline_failed[shader] = true;
    VkShaderModuleCreateInfo module_info{VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO};
    module_info.codeSize = kCode[shader].bytes;
    module_info.pCode = kCode[shader].words;
    VkShaderModule module;
    if (vkCreateShaderModule(gpu->device, &module_info, nullptr, &module) != VK_SUCCESS) {
        fail("vkCreateShaderModule failed");
        return VK_NULL_HANDLE;
    }
    VkComputePipelineCreateInfo info{VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO};
    info.stage.sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
    info.stage.stage = VK_SHADER_STAGE_COMPUTE_BIT;
    info.stage.module = module;
    info.stage.pName = "main";
    info.layout = gpu->layout;
    VkPipeline created = VK_NULL_HANDLE;
    if (vkCreateComputePipelines(gpu->device, VK_NULL_HANDLE, 1, &info, nullptr, &created) == VK_SUCCESS) {
        gpu->pipelines[shader] = created;
        gpu->pipeline_failed[shader] = false;
    } else {
        fail("vkCreateComputePipelines failed");
    }
    vkDestroyShaderModule(gpu->device, module, nullptr);
    return created;
}

// ------------------------------------------------------------------ argument checks

// A byte range of a buffer as a shader would index it: inside the buffer, aligned to
// the element size, and expressed as an element offset.
struct Range {
    const kx_buffer_t* buffer;
    int64_t offset;
    int64_t bytes;
};

bool inside(const Range& r, int64_t element, int32_t* element_offset) {
    if (!r.buffer || r.offset < 0 || r.bytes < 0 || r.offset % element != 0) return false;
    if (r.offset + r.bytes > r.buffer->size || r.offset + r.bytes > INT32_MAX) return false;
    if (element_offset) *element_offset = static_cast<int32_t>(r.offset / element);
    return true;
}

bool overlap(const Range& a, const Range& b) {
    return a.buffer == b.buffer && a.bytes > 0 && b.bytes > 0 && a.offset < b.offset + b.bytes &&
           b.offset < a.offset + a.bytes;
}

// An output may be its input at the very same place (each invocation reads the element
// it then writes); any other overlap would depend on the order of invocations.
bool same_or_apart(const Range& out, const Range& in) {
    return !overlap(out, in) || (out.offset == in.offset && out.bytes == in.bytes);
}

int64_t product(int64_t a, int64_t b) { return a > 0 && b > INT32_MAX / a ? int64_t{INT32_MAX} + 1 : a * b; }

struct Dispatch {
    Shader shader;
    const kx_buffer_t* buffers[4];
    int32_t values[8];
    int64_t invocations;
    bool tables;
};

kx_status_t record(Gpu* gpu, const Dispatch& d) {
    for (const kx_buffer_t* buffer : d.buffers)
        if (buffer && reinterpret_cast<const Buffer*>(buffer)->stale) {
            fail("a buffer's host writes never reached the device");
            return KX_STATUS_RUNTIME_ERROR;
        }
    const uint64_t groups = (static_cast<uint64_t>(d.invocations) + kGroupSize - 1) / kGroupSize;
    if (groups == 0 || groups > gpu->max_groups) return KX_STATUS_INVALID_ARGUMENT;
    const VkPipeline selected = pipeline(gpu, d.shader);
    if (!selected) return KX_STATUS_RUNTIME_ERROR;
    VkCommandBuffer commands = begin_command(gpu);
    if (!commands) return KX_STATUS_RUNTIME_ERROR;
    VkDescriptorBufferInfo infos[kBindings]{};
    VkWriteDescriptorSet writes[kBindings]{};
    uint32_t count = 0;
    for (int b = 0; b < kBindings; ++b) {
        const kx_buffer_t* buffer = b < 4 ? d.buffers[b] : (d.tables ? &gpu->tables->head : nullptr);
        if (!buffer) continue;
        infos[count] = {reinterpret_cast<const Buffer*>(buffer)->buffer, 0, VK_WHOLE_SIZE};
        writes[count].sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET;
        writes[count].dstBinding = static_cast<uint32_t>(b);
        writes[count].descriptorCount = 1;
        writes[count].descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
        writes[count].pBufferInfo = &infos[count];
        ++count;
    }
    vkCmdBindPipeline(commands, VK_PIPELINE_BIND_POINT_COMPUTE, selected);
    gpu->push_descriptors(commands, VK_PIPELINE_BIND_POINT_COMPUTE, gpu->layout, 0, count, writes);
    vkCmdPushConstants(commands, gpu->layout, VK_SHADER_STAGE_COMPUTE_BIT, 0, sizeof(d.values), d.values);
    vkCmdDispatch(commands, static_cast<uint32_t>(groups), 1, 1);
    return end_command(gpu) ? KX_STATUS_SUCCESS : KX_STATUS_RUNTIME_ERROR;
}

Gpu* as_gpu(void* handle) { return static_cast<Gpu*>(handle); }

// ------------------------------------------------------------------ device creation

bool device_list(VkInstance instance, VkPhysicalDevice** devices, uint32_t* count) {
    *devices = nullptr;
    *count = 0;
    if (vkEnumeratePhysicalDevices(instance, count, nullptr) != VK_SUCCESS) return fail("cannot enumerate devices");
    if (*count == 0) return true;
    *devices = static_cast<VkPhysicalDevice*>(std::calloc(*count, sizeof(VkPhysicalDevice)));
    if (!*devices || vkEnumeratePhysicalDevices(instance, count, *devices) < 0) {
        std::free(*devices);
        *devices = nullptr;
        return fail("cannot enumerate devices");
    }
    return true;
}

kx_status_t make_instance(VkInstance* instance) {
    VkApplicationInfo application{VK_STRUCTURE_TYPE_APPLICATION_INFO};
    application.pApplicationName = "kx_orvel";
    application.apiVersion = VK_API_VERSION_1_2;
    VkInstanceCreateInfo info{VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO};
    info.pApplicationInfo = &application;
    const VkResult result = vkCreateInstance(&info, nullptr, instance);
    if (result == VK_SUCCESS) return KX_STATUS_SUCCESS;
    *instance = VK_NULL_HANDLE;
    if (result == VK_ERROR_OUT_OF_HOST_MEMORY || result == VK_ERROR_OUT_OF_DEVICE_MEMORY) {
        fail("out of memory creating the Vulkan instance");
        return KX_STATUS_OUT_OF_MEMORY;
    }
    fail("no Vulkan driver is installed (vkCreateInstance: %d)", static_cast<int>(result));
    return KX_STATUS_RUNTIME_ERROR;
}

bool has_extension(VkPhysicalDevice physical, const char* name) {
    uint32_t count = 0;
    vkEnumerateDeviceExtensionProperties(physical, nullptr, &count, nullptr);
    auto* list = static_cast<VkExtensionProperties*>(std::calloc(count ? count : 1, sizeof(VkExtensionProperties)));
    if (!list) return false;
    vkEnumerateDeviceExtensionProperties(physical, nullptr, &count, list);
    bool found = false;
    for (uint32_t i = 0; i < count && !found; ++i) found = std::strcmp(list[i].extensionName, name) == 0;
    std::free(list);
    return found;
}

kx_status_t open_device(Gpu* gpu) {
    uint32_t families = 0;
    vkGetPhysicalDeviceQueueFamilyProperties(gpu->physical, &families, nullptr);
    VkQueueFamilyProperties properties[16];
    if (families > 16) families = 16;
    vkGetPhysicalDeviceQueueFamilyProperties(gpu->physical, &families, properties);
    uint32_t family = UINT32_MAX;
    for (uint32_t i = 0; i < families && family == UINT32_MAX; ++i)
        if (properties[i].queueFlags & VK_QUEUE_COMPUTE_BIT) family = i;
    if (family == UINT32_MAX) {
        fail("the device has no compute queue");
        return KX_STATUS_RUNTIME_ERROR;
    }
    if (!has_extension(gpu->physical, VK_KHR_PUSH_DESCRIPTOR_EXTENSION_NAME)) {
        fail("the device lacks %s", VK_KHR_PUSH_DESCRIPTOR_EXTENSION_NAME);
        return KX_STATUS_RUNTIME_ERROR;
    }

    // Kernels whose shader needs a feature the device lacks decline every call.
    VkPhysicalDeviceVulkan12Features v12{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_2_FEATURES};
    VkPhysicalDeviceVulkan11Features v11{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_1_FEATURES};
    v11.pNext = &v12;
    VkPhysicalDeviceFeatures2 supported{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2};
    supported.pNext = &v11;
    VkPhysicalDeviceProperties device_properties;
    vkGetPhysicalDeviceProperties(gpu->physical, &device_properties);
    if (device_properties.apiVersion >= VK_API_VERSION_1_2) vkGetPhysicalDeviceFeatures2(gpu->physical, &supported);
    gpu->int16 = v11.storageBuffer16BitAccess;
    gpu->int8 = v12.storageBuffer8BitAccess;
    gpu->int64 = supported.features.shaderInt64;
    gpu->float64 = supported.features.shaderFloat64;
    gpu->max_groups = device_properties.limits.maxComputeWorkGroupCount[0];

    VkPhysicalDeviceVulkan12Features enable12{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_2_FEATURES};
    enable12.storageBuffer8BitAccess = v12.storageBuffer8BitAccess;
    VkPhysicalDeviceVulkan11Features enable11{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_1_FEATURES};
    enable11.storageBuffer16BitAccess = v11.storageBuffer16BitAccess;
    enable11.pNext = &enable12;
    VkPhysicalDeviceFeatures2 enable{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2};
    enable.features.shaderInt64 = supported.features.shaderInt64;
    enable.features.shaderFloat64 = supported.features.shaderFloat64;
    enable.pNext = device_properties.apiVersion >= VK_API_VERSION_1_2 ? &enable11 : nullptr;

    const float priority = 1.0f;
    VkDeviceQueueCreateInfo queue{VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO};
    queue.queueFamilyIndex = family;
    queue.queueCount = 1;
    queue.pQueuePriorities = &priority;
    const char* extensions[] = {VK_KHR_PUSH_DESCRIPTOR_EXTENSION_NAME};
    VkDeviceCreateInfo info{VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO};
    info.pNext = &enable;
    info.queueCreateInfoCount = 1;
    info.pQueueCreateInfos = &queue;
    info.enabledExtensionCount = 1;
    info.ppEnabledExtensionNames = extensions;
    const VkResult result = vkCreateDevice(gpu->physical, &info, nullptr, &gpu->device);
    if (result != VK_SUCCESS) {
        gpu->device = VK_NULL_HANDLE;
        fail("vkCreateDevice failed (%d)", static_cast<int>(result));
        return result == VK_ERROR_OUT_OF_HOST_MEMORY ? KX_STATUS_OUT_OF_MEMORY : KX_STATUS_RUNTIME_ERROR;
    }
    vkGetDeviceQueue(gpu->device, family, 0, &gpu->queue);
    gpu->push_descriptors = reinterpret_cast<PFN_vkCmdPushDescriptorSetKHR>(
        vkGetDeviceProcAddr(gpu->device, "vkCmdPushDescriptorSetKHR"));

    VkPhysicalDeviceMemoryProperties memory;
    vkGetPhysicalDeviceMemoryProperties(gpu->physical, &memory);
    const VkMemoryPropertyFlags host = VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
    gpu->staging_type = find_type(memory, host, 0);
    gpu->device_type = find_type(memory, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT, 0);
    // Memory that is both the device's and the host's needs no copies; a discrete GPU
    // without it gets device-local buffers with staging copies.
    gpu->direct_type = find_type(memory, host | VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT, 0);
    if (gpu->direct_type == kNoType && gpu->device_type == kNoType) gpu->direct_type = gpu->staging_type;
    const char* staged = std::getenv("KX_VULKAN_STAGING");
    if (staged && std::strcmp(staged, "1") == 0 && gpu->device_type != kNoType) gpu->direct_type = kNoType;
    if (gpu->staging_type == kNoType) {
        fail("the device offers no host-visible memory");
        return KX_STATUS_RUNTIME_ERROR;
    }
    return KX_STATUS_SUCCESS;
}

}  // namespace

// ------------------------------------------------------------------ exported contract

KX_EXPORT int32_t kx_gpu_abi_version() { return KX_GPU_PLUGIN_ABI_VERSION; }

KX_EXPORT const char* kx_gpu_last_error() { return t_last_error; }

KX_EXPORT kx_buffer_t* kx_gpu_buffer_create(void* handle, uint32_t size, uint32_t flags);
KX_EXPORT void kx_gpu_buffer_destroy(void* handle, kx_buffer_t* buffer);
KX_EXPORT kx_status_t kx_gpu_buffer_write(void* handle, kx_buffer_t* buffer, const void* source, uint32_t offset,
                                          uint32_t length);

KX_EXPORT void kx_gpu_device_destroy(void* handle) {
    Gpu* gpu = as_gpu(handle);
    if (!gpu) return;
    if (gpu->device) {
        synchronise(gpu);
        vkDeviceWaitIdle(gpu->device);
        if (gpu->tables) kx_gpu_buffer_destroy(gpu, &gpu->tables->head);
        for (VkPipeline p : gpu->pipelines)
            if (p) vkDestroyPipeline(gpu->device, p, nullptr);
        if (gpu->layout) vkDestroyPipelineLayout(gpu->device, gpu->layout, nullptr);
        if (gpu->set_layout) vkDestroyDescriptorSetLayout(gpu->device, gpu->set_layout, nullptr);
        for (Slot& slot : gpu->slots)
            if (slot.fence) vkDestroyFence(gpu->device, slot.fence, nullptr);
        if (gpu->pool) vkDestroyCommandPool(gpu->device, gpu->pool, nullptr);
        vkDestroyDevice(gpu->device, nullptr);
    }
    if (gpu->instance) vkDestroyInstance(gpu->instance, nullptr);
    std::free(gpu);
}

KX_EXPORT kx_status_t kx_gpu_device_create(int32_t index, void** handle) {
    *handle = nullptr;
    t_last_error[0] = '\0';
    auto* gpu = static_cast<Gpu*>(std::calloc(1, sizeof(Gpu)));
    if (!gpu) {
        fail("out of memory");
        return KX_STATUS_OUT_OF_MEMORY;
    }
    gpu->current = -1;
    kx_status_t status = make_instance(&gpu->instance);
    VkPhysicalDevice* devices = nullptr;
    uint32_t count = 0;
    if (status == KX_STATUS_SUCCESS && !device_list(gpu->instance, &devices, &count)) status = KX_STATUS_RUNTIME_ERROR;
    if (status == KX_STATUS_SUCCESS && count == 0) {
        fail("no Vulkan device found");
        status = KX_STATUS_RUNTIME_ERROR;
    } else if (status == KX_STATUS_SUCCESS && (index < 0 || static_cast<uint32_t>(index) >= count)) {
        fail("index %d is not one of the %u Vulkan devices listed", index, count);
        status = KX_STATUS_INVALID_ARGUMENT;
    }
    if (status == KX_STATUS_SUCCESS) {
        gpu->physical = devices[index];
        status = open_device(gpu);
    }
    std::free(devices);
    if (status == KX_STATUS_SUCCESS && !make_layouts(gpu)) status = KX_STATUS_RUNTIME_ERROR;
    if (status == KX_STATUS_SUCCESS) {
        VkCommandPoolCreateInfo pool{VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO};
        pool.flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
        VkCommandBuffer buffers[kCommandSlots];
        VkCommandBufferAllocateInfo allocation{VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO};
        allocation.commandBufferCount = kCommandSlots;
        allocation.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
        bool ok = vkCreateCommandPool(gpu->device, &pool, nullptr, &gpu->pool) == VK_SUCCESS;
        allocation.commandPool = gpu->pool;
        ok = ok && vkAllocateCommandBuffers(gpu->device, &allocation, buffers) == VK_SUCCESS;
        VkFenceCreateInfo fence{VK_STRUCTURE_TYPE_FENCE_CREATE_INFO};
        for (int i = 0; i < kCommandSlots && ok; ++i) {
            gpu->slots[i].commands = buffers[i];
            ok = vkCreateFence(gpu->device, &fence, nullptr, &gpu->slots[i].fence) == VK_SUCCESS;
        }
        if (!ok) {
            fail("cannot create command buffers");
            status = KX_STATUS_RUNTIME_ERROR;
        }
    }
    if (status == KX_STATUS_SUCCESS) {
        int32_t values[257 + 128 + 128];
        for (int i = 0; i < 257; ++i) values[i] = kx_sigmoid_table[i];
        for (int i = 0; i < 128; ++i) values[257 + i] = kx_softmax_fine_table[i];
        for (int i = 0; i < 128; ++i) values[385 + i] = kx_softmax_coarse_table[i];
        kx_buffer_t* tables = kx_gpu_buffer_create(gpu, sizeof(values), 0);
        if (!tables) {
            status = KX_STATUS_OUT_OF_MEMORY;
        } else {
            gpu->tables = reinterpret_cast<Buffer*>(tables);
            status = kx_gpu_buffer_write(gpu, tables, values, 0, sizeof(values));
        }
    }
    if (status != KX_STATUS_SUCCESS) {
        kx_gpu_device_destroy(gpu);
        return status;
    }
    *handle = gpu;
    return KX_STATUS_SUCCESS;
}

KX_EXPORT kx_buffer_t* kx_gpu_buffer_create(void* handle, uint32_t size, uint32_t flags) {
    Gpu* gpu = as_gpu(handle);
    auto* buffer = static_cast<Buffer*>(std::calloc(1, sizeof(Buffer)));
    if (!buffer) return nullptr;
    buffer->head.size = size;
    buffer->head.flags = flags;
    const VkBufferUsageFlags usage =
        VK_BUFFER_USAGE_STORAGE_BUFFER_BIT | VK_BUFFER_USAGE_TRANSFER_SRC_BIT | VK_BUFFER_USAGE_TRANSFER_DST_BIT;
    const bool direct = gpu->direct_type != kNoType;
    if (!allocate(gpu, size, direct ? gpu->direct_type : gpu->device_type, usage, &buffer->buffer, &buffer->memory,
                  direct ? &buffer->mapped : nullptr)) {
        std::free(buffer);
        return nullptr;
    }
    return &buffer->head;
}

KX_EXPORT void kx_gpu_buffer_destroy(void* handle, kx_buffer_t* head) {
    if (!head) return;
    Gpu* gpu = as_gpu(handle);
    // Recorded or running commands may still use the buffer.
    synchronise(gpu);
    auto* buffer = reinterpret_cast<Buffer*>(head);
    release(gpu, buffer->buffer, buffer->memory);
    release(gpu, buffer->staging, buffer->staging_memory);
    std::free(buffer);
}

KX_EXPORT uint32_t kx_gpu_buffer_size(void*, const kx_buffer_t* head) { return head->size; }

namespace {

// The host side of a staged buffer, made on first use and kept with the buffer.
void* staging_of(Gpu* gpu, Buffer* buffer) {
    if (!buffer->staging &&
        !allocate(gpu, buffer->head.size, gpu->staging_type,
                  VK_BUFFER_USAGE_TRANSFER_SRC_BIT | VK_BUFFER_USAGE_TRANSFER_DST_BIT, &buffer->staging,
                  &buffer->staging_memory, &buffer->staging_mapped))
        return nullptr;
    return buffer->staging_mapped;
}

// Records a copy between a staged buffer and its host side (recorded like an operator).
bool record_copy(Gpu* gpu, VkBuffer from, VkBuffer to, uint32_t offset, uint32_t length) {
    if (length == 0) return true;
    VkCommandBuffer commands = begin_command(gpu);
    if (!commands) return false;
    const VkBufferCopy region{offset, offset, length};
    vkCmdCopyBuffer(commands, from, to, 1, &region);
    return end_command(gpu);
}

}  // namespace

KX_EXPORT kx_status_t kx_gpu_buffer_write(void* handle, kx_buffer_t* head, const void* source, uint32_t offset,
                                          uint32_t length) {
    Gpu* gpu = as_gpu(handle);
    auto* buffer = reinterpret_cast<Buffer*>(head);
    if (offset > head->size || length > head->size - offset) {
        fail("a write of %u bytes at %u does not fit a buffer of %u bytes", length, offset, head->size);
        return KX_STATUS_INVALID_ARGUMENT;
    }
    if (!synchronise(gpu)) return KX_STATUS_RUNTIME_ERROR;
    if (length == 0) return KX_STATUS_SUCCESS;
    if (buffer->mapped) {
        std::memcpy(static_cast<uint8_t*>(buffer->mapped) + offset, source, length);
        return KX_STATUS_SUCCESS;
    }
    void* staging = staging_of(gpu, buffer);
    if (!staging) return KX_STATUS_OUT_OF_MEMORY;
    std::memcpy(static_cast<uint8_t*>(staging) + offset, source, length);
    if (!record_copy(gpu, buffer->staging, buffer->buffer, offset, length)) return KX_STATUS_RUNTIME_ERROR;
    if (offset == 0 && length == head->size) buffer->stale = false;
    return KX_STATUS_SUCCESS;
}

KX_EXPORT void* kx_gpu_buffer_map(void* handle, kx_buffer_t* head, int need_contents) {
    Gpu* gpu = as_gpu(handle);
    auto* buffer = reinterpret_cast<Buffer*>(head);
    if (!synchronise(gpu)) return nullptr;
    if (buffer->mapped) return buffer->mapped;
    if (buffer->stale && need_contents) {
        fail("a buffer's host writes never reached the device");
        return nullptr;
    }
    void* staging = staging_of(gpu, buffer);
    if (!staging || !need_contents) return staging;
    // Contents wanted: copy them down and wait for the copy.
    if (!record_copy(gpu, buffer->buffer, buffer->staging, 0, buffer->head.size) || !synchronise(gpu)) return nullptr;
    return staging;
}

KX_EXPORT void kx_gpu_buffer_unmap(void* handle, kx_buffer_t* head, int modified) {
    Gpu* gpu = as_gpu(handle);
    auto* buffer = reinterpret_cast<Buffer*>(head);
    // Written through a staging copy: send it up with the next commands. The contract
    // has no status here, so a copy that cannot be recorded fails the buffer's next use.
    if (!buffer->mapped && modified && buffer->staging)
        buffer->stale = !record_copy(gpu, buffer->staging, buffer->buffer, 0, buffer->head.size);
}

KX_EXPORT kx_status_t kx_gpu_list_devices(char*** lines, int32_t* count) {
    *lines = nullptr;
    *count = 0;
    VkInstance instance;
    // Without a driver there is nothing to list; that is not a failure of the listing.
    if (make_instance(&instance) != KX_STATUS_SUCCESS) return KX_STATUS_SUCCESS;
    VkPhysicalDevice* devices = nullptr;
    uint32_t found = 0;
    kx_status_t status = KX_STATUS_SUCCESS;
    if (device_list(instance, &devices, &found) && found > 0) {
        char** array = static_cast<char**>(std::calloc(found, sizeof(char*)));
        for (uint32_t i = 0; array && i < found; ++i) {
            VkPhysicalDeviceProperties properties;
            vkGetPhysicalDeviceProperties(devices[i], &properties);
            char text[VK_MAX_PHYSICAL_DEVICE_NAME_SIZE + 32];
            std::snprintf(text, sizeof(text), "gpu:%u - %s", i, properties.deviceName);
            array[i] = strdup(text);
            if (!array[i]) {
                for (uint32_t j = 0; j < i; ++j) std::free(array[j]);
                std::free(array);
                array = nullptr;
            }
        }
        if (array) {
            *lines = array;
            *count = static_cast<int32_t>(found);
        } else {
            status = KX_STATUS_OUT_OF_MEMORY;
        }
    }
    std::free(devices);
    vkDestroyInstance(instance, nullptr);
    return status;
}

KX_EXPORT void kx_gpu_free_device_list(char** lines, int32_t count) {
    for (int32_t i = 0; i < count; ++i) std::free(lines[i]);
    std::free(lines);
}

// Test hook: how many command buffers this device has submitted so far.
KX_EXPORT int64_t kx_gpu_vulkan_submit_count(void* handle) { return as_gpu(handle)->submits; }

// Test hook: the next `count` command buffers of this device fail to begin.
KX_EXPORT void kx_gpu_vulkan_fail_commands(void* handle, int32_t count) { as_gpu(handle)->failing_commands = count; }

// ------------------------------------------------------------------ kernels
//
// Each kernel checks what its shader can do (element-aligned offsets inside the
// buffers, outputs that do not overlap their inputs in an order-dependent way, work
// that fits one dispatch, the device features the shader needs) and declines
// everything else with INVALID_ARGUMENT, so that the reference runs instead.

namespace {

constexpr kx_status_t kDecline = KX_STATUS_INVALID_ARGUMENT;

kx_status_t elementwise(Gpu* gpu, const kx_op_args_t* a, Shader shader, int64_t element, int inputs, bool feature) {
    const int32_t count = a->ints[0];
    if (!feature || count <= 0) return kDecline;
    Dispatch d{shader, {}, {count}, count, false};
    const Range out{a->buffers[0], a->ints[1], element * count};
    if (!inside(out, element, &d.values[1])) return kDecline;
    d.buffers[0] = a->buffers[0];
    for (int i = 1; i <= inputs; ++i) {
        const Range in{a->buffers[i], a->ints[1 + i], element * count};
        if (!inside(in, element, &d.values[1 + i]) || !same_or_apart(out, in)) return kDecline;
        d.buffers[i] = a->buffers[i];
    }
    return record(gpu, d);
}

kx_status_t linear(Gpu* gpu, const kx_op_args_t* a, bool accumulate) {
    const int32_t vectors = a->ints[0], rows = a->ints[1], columns = a->ints[2];
    if (!gpu->int16 || !gpu->int8 || vectors <= 0 || rows <= 0 || columns < 0) return kDecline;
    Dispatch d{LINEAR, {a->buffers[0], a->buffers[1], a->buffers[2], a->buffers[3]},
               {vectors, rows, columns, 0, 0, accumulate ? 1 : 0}, product(vectors, rows), false};
    const Range out{a->buffers[0], a->ints[3], 2 * product(rows, vectors)};
    const Range in{a->buffers[1], a->ints[4], 2 * product(columns, vectors)};
    const Range weights{a->buffers[2], 0, product(rows, columns)};
    const Range bias{a->buffers[3], 0, rows};
    if (!inside(out, 2, &d.values[3]) || !inside(in, 2, &d.values[4]) || !inside(weights, 1, nullptr) ||
        !inside(bias, 1, nullptr) || overlap(out, in) || overlap(out, weights) || overlap(out, bias))
        return kDecline;
    return record(gpu, d);
}

}  // namespace

KX_EXPORT kx_status_t kx_gpu_kernel_add(void* handle, void*, const kx_op_args_t* a) {
    return elementwise(as_gpu(handle), a, ADD, 2, 2, as_gpu(handle)->int16);
}

KX_EXPORT kx_status_t kx_gpu_kernel_linear_accumulate(void* handle, void*, const kx_op_args_t* a) {
    return linear(as_gpu(handle), a, true);
}

KX_EXPORT kx_status_t kx_gpu_kernel_linear(void* handle, void*, const kx_op_args_t* a) {
    return linear(as_gpu(handle), a, false);
}

KX_EXPORT kx_status_t kx_gpu_kernel_gelu(void* handle, void*, const kx_op_args_t* a) {
    return elementwise(as_gpu(handle), a, GELU, 4, 1, true);
}

KX_EXPORT kx_status_t kx_gpu_kernel_relu(void* handle, void*, const kx_op_args_t* a) {
    return elementwise(as_gpu(handle), a, RELU, 4, 1, true);
}

KX_EXPORT kx_status_t kx_gpu_kernel_normalize_quantize(void* handle, void*, const kx_op_args_t* a) {
    Gpu* gpu = as_gpu(handle);
    const int32_t frames = a->ints[1], features = a->ints[2];
    if (!gpu->int16 || !gpu->float64 || frames <= 0 || features <= 0) return kDecline;
    const Range out{a->buffers[0], 0, 2 * product(frames, features)};
    const Range in{a->buffers[1], 0, 4 * product(frames, features)};
    if (!inside(out, 2, nullptr) || !inside(in, 4, nullptr) || overlap(out, in)) return kDecline;
    return record(gpu, {NORMALIZE_QUANTIZE, {a->buffers[0], a->buffers[1]}, {frames, features, a->ints[0]}, features,
                        false});
}

KX_EXPORT kx_status_t kx_gpu_kernel_lstm_cell(void* handle, void*, const kx_op_args_t* a) {
    Gpu* gpu = as_gpu(handle);
    const int32_t h = a->ints[0];
    if (!gpu->int16 || h <= 0) return kDecline;
    Dispatch d{LSTM_CELL, {a->buffers[0], a->buffers[1], a->buffers[2]}, {h}, h, true};
    const Range hidden{a->buffers[0], a->ints[1], 2 * int64_t{h}};
    const Range cell{a->buffers[1], a->ints[2], 2 * int64_t{h}};
    const Range gates{a->buffers[2], a->ints[3], 6 * int64_t{h}};
    if (!inside(hidden, 2, &d.values[1]) || !inside(cell, 2, &d.values[2]) || !inside(gates, 2, &d.values[3]) ||
        !same_or_apart(hidden, cell) || overlap(hidden, gates) || overlap(cell, gates))
        return kDecline;
    return record(gpu, d);
}

KX_EXPORT kx_status_t kx_gpu_kernel_matmul_f32(void* handle, void*, const kx_op_args_t* a) {
    const int32_t vectors = a->ints[0], rows = a->ints[1], columns = a->ints[2];
    if (vectors <= 0 || rows <= 0 || columns < 0) return kDecline;
    Dispatch d{MATMUL_F32, {a->buffers[0], a->buffers[1], a->buffers[2]}, {vectors, rows, columns},
               product(vectors, rows), false};
    const Range out{a->buffers[0], a->ints[3], 4 * product(rows, vectors)};
    const Range in{a->buffers[1], a->ints[4], 4 * product(columns, vectors)};
    const Range matrix{a->buffers[2], a->ints[5], 4 * product(rows, columns)};
    if (!inside(out, 4, &d.values[3]) || !inside(in, 4, &d.values[4]) || !inside(matrix, 4, &d.values[5]) ||
        overlap(out, in) || overlap(out, matrix))
        return kDecline;
    return record(as_gpu(handle), d);
}

KX_EXPORT kx_status_t kx_gpu_kernel_copy(void* handle, void*, const kx_op_args_t* a) {
    Gpu* gpu = as_gpu(handle);
    const int32_t bytes = a->ints[0];
    const Range to{a->buffers[0], a->ints[1], bytes};
    const Range from{a->buffers[1], a->ints[2], bytes};
    if (bytes <= 0 || !inside(to, 1, nullptr) || !inside(from, 1, nullptr) || overlap(to, from)) return kDecline;
    VkCommandBuffer commands = begin_command(gpu);
    if (!commands) return KX_STATUS_RUNTIME_ERROR;
    const VkBufferCopy region{static_cast<VkDeviceSize>(a->ints[2]), static_cast<VkDeviceSize>(a->ints[1]),
                              static_cast<VkDeviceSize>(bytes)};
    vkCmdCopyBuffer(commands, reinterpret_cast<Buffer*>(a->buffers[1])->buffer,
                    reinterpret_cast<Buffer*>(a->buffers[0])->buffer, 1, &region);
    return end_command(gpu) ? KX_STATUS_SUCCESS : KX_STATUS_RUNTIME_ERROR;
}

KX_EXPORT kx_status_t kx_gpu_kernel_zero(void* handle, void*, const kx_op_args_t* a) {
    Gpu* gpu = as_gpu(handle);
    const int32_t bytes = a->ints[0];
    // The device fills whole 32-bit words only.
    if (bytes <= 0 || bytes % 4 != 0 || !inside({a->buffers[0], a->ints[1], bytes}, 4, nullptr)) return kDecline;
    VkCommandBuffer commands = begin_command(gpu);
    if (!commands) return KX_STATUS_RUNTIME_ERROR;
    vkCmdFillBuffer(commands, reinterpret_cast<Buffer*>(a->buffers[0])->buffer, static_cast<VkDeviceSize>(a->ints[1]),
                    static_cast<VkDeviceSize>(bytes), 0);
    return end_command(gpu) ? KX_STATUS_SUCCESS : KX_STATUS_RUNTIME_ERROR;
}

KX_EXPORT kx_status_t kx_gpu_kernel_softmax(void* handle, void*, const kx_op_args_t* a) {
    Gpu* gpu = as_gpu(handle);
    const int32_t rows = a->ints[0], length = a->ints[1];
    if (!gpu->int16 || !gpu->int64 || rows <= 0 || length <= 0) return kDecline;
    Dispatch d{SOFTMAX, {a->buffers[0], a->buffers[1]}, {rows, length}, rows, true};
    const Range out{a->buffers[0], a->ints[2], 4 * product(rows, length)};
    const Range in{a->buffers[1], a->ints[3], 2 * product(rows, length)};
    if (!inside(out, 4, &d.values[2]) || !inside(in, 2, &d.values[3]) || overlap(out, in)) return kDecline;
    return record(gpu, d);
}

KX_EXPORT kx_status_t kx_gpu_kernel_standardize(void* handle, void*, const kx_op_args_t* a) {
    Gpu* gpu = as_gpu(handle);
    const int32_t frames = a->ints[0], features = a->ints[1];
    if (!gpu->int16 || frames <= 0 || features <= 0) return kDecline;
    Dispatch d{STANDARDIZE, {a->buffers[0], a->buffers[1], a->buffers[2], a->buffers[3]}, {frames, features},
               product(frames, features), false};
    const Range out{a->buffers[0], a->ints[2], 2 * product(frames, features)};
    const Range in{a->buffers[1], a->ints[3], 2 * product(frames, features)};
    const Range mean{a->buffers[2], 0, 2 * int64_t{features}};
    const Range scale{a->buffers[3], 0, 2 * int64_t{features}};
    if (!inside(out, 2, &d.values[2]) || !inside(in, 2, &d.values[3]) || !inside(mean, 2, nullptr) ||
        !inside(scale, 2, nullptr) || !same_or_apart(out, in) || overlap(out, mean) || overlap(out, scale))
        return kDecline;
    return record(gpu, d);
}
