#include "engine/images/builtin_images.h"

#define SKELVO_DECLARE_MODULE(name)                                                                          \
    extern "C" const unsigned char skelvo_image_##name##_bytes[];                                            \
    extern "C" const unsigned char* const skelvo_image_##name##_chunks[];                                    \
    extern "C" const int skelvo_image_##name##_chunk_count;                                                  \
    extern "C" const int skelvo_image_##name##_size;                                                         \
    extern "C" const int skelvo_image_##name##_chunk_size;                                                   \
    extern "C" const char skelvo_image_##name##_version[];

SKELVO_DECLARE_MODULE(tolva21)
SKELVO_DECLARE_MODULE(tolva22)
SKELVO_DECLARE_MODULE(dravenholt)

#define SKELVO_MODULE(name)                                                                                  \
    BuiltInImage {                                                                                           \
        skelvo_image_##name##_bytes, skelvo_image_##name##_chunks, skelvo_image_##name##_chunk_count,        \
            skelvo_image_##name##_size, skelvo_image_##name##_chunk_size, skelvo_image_##name##_version      \
    }

const BuiltInImage& Tolva21Module() {
    static const BuiltInImage module = SKELVO_MODULE(tolva21);
    return module;
}

const BuiltInImage& Tolva22Module() {
    static const BuiltInImage module = SKELVO_MODULE(tolva22);
    return module;
}

const BuiltInImage& DravenholtModule() {
    static const BuiltInImage module = SKELVO_MODULE(dravenholt);
    return module;
}
