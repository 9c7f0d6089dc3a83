// TEMPORARY placeholder, replaced by the capability listings.
#include "foundation/FFLoader.h"
namespace corvane {
int TFFLoader::GetCodecs(std::vector<std::string>&) const { return 0; }
int TFFLoader::GetDecoders(std::vector<std::string>&) const { return 0; }
int TFFLoader::GetEncoders(std::vector<std::string>&) const { return 0; }
int TFFLoader::GetFormats(std::vector<std::string>&) const { return 0; }
int TFFLoader::GetDemuxers(std::vector<std::string>&) const { return 0; }
int TFFLoader::GetMuxers(std::vector<std::string>&) const { return 0; }
int TFFLoader::GetDevices(std::vector<std::string>&) const { return 0; }
int TFFLoader::GetFilters(std::vector<std::string>&) const { return 0; }
int TFFLoader::GetProtocols(std::vector<std::string>&) const { return 0; }
int TFFLoader::GetLayouts(std::vector<std::string>&) const { return 0; }
int TFFLoader::GetPixFmts(std::vector<std::string>&) const { return 0; }
int TFFLoader::GetSampleFmts(std::vector<std::string>&) const { return 0; }
}
