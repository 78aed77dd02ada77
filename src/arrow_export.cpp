#include "arrow_export.hpp"

namespace pelvar::arrow_detail {
namespace {

struct SchemaHolder {
    std::string name;
    std::string format;
    std::unique_ptr<ArrowSchema[]> child_schemas;
    std::vector<ArrowSchema*> children;
};

// A parent releases the children that no consumer has moved out, then
// itself; a moved child's release was set to null by the consumer.
void release_schema(ArrowSchema* schema) {
    auto* holder = static_cast<SchemaHolder*>(schema->private_data);
    for (ArrowSchema* child : holder->children) {
        if (child->release != nullptr) {
            child->release(child);
        }
    }
    delete holder;
    schema->release = nullptr;
}

void release_array(ArrowArray* array) {
    auto* holder = static_cast<ArrayHolder*>(array->private_data);
    for (ArrowArray* child : holder->children) {
        if (child->release != nullptr) {
            child->release(child);
        }
    }
    delete holder;  // the last holder of a batch frees its columns
    array->release = nullptr;
}

}  // namespace

void export_field(const Field& field, ArrowSchema* out) {
    auto holder = std::make_unique<SchemaHolder>();
    holder->name = field.name;
    holder->format = field.format;
    holder->child_schemas = std::make_unique<ArrowSchema[]>(field.children.size());
    for (std::size_t i = 0; i < field.children.size(); ++i) {
        export_field(field.children[i], &holder->child_schemas[i]);
        holder->children.push_back(&holder->child_schemas[i]);
    }
    *out = ArrowSchema{
        holder->format.c_str(),
        holder->name.c_str(),
        nullptr,
        0,  // not nullable: the columns have no nulls
        static_cast<std::int64_t>(holder->children.size()),
        holder->children.empty() ? nullptr : holder->children.data(),
        nullptr,
        release_schema,
        holder.get(),
    };
    (void)holder.release();
}

ArrowArray* make_array(ArrowArray* out, std::int64_t length, std::vector<const void*> buffers,
                       std::size_t child_count, const std::shared_ptr<const void>& keep) {
    auto holder = std::make_unique<ArrayHolder>();
    holder->keep = keep;
    holder->buffers = std::move(buffers);
    holder->child_arrays = std::make_unique<ArrowArray[]>(child_count);
    for (std::size_t i = 0; i < child_count; ++i) {
        holder->child_arrays[i].release = nullptr;
        holder->children.push_back(&holder->child_arrays[i]);
    }
    ArrowArray* children = holder->child_arrays.get();
    *out = ArrowArray{
        length,
        0,  // no nulls: validity buffers are null
        0,
        static_cast<std::int64_t>(holder->buffers.size()),
        static_cast<std::int64_t>(child_count),
        holder->buffers.data(),
        child_count == 0 ? nullptr : holder->children.data(),
        nullptr,
        release_array,
        holder.get(),
    };
    (void)holder.release();
    return children;
}

}  // namespace pelvar::arrow_detail
