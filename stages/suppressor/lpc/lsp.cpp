// placeholder
namespace halvern {}
