#include "elf_image.h"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace zv::emu {

namespace {
template <typename T>
T at(const std::vector<uint8_t> &file, size_t offset, const std::string &path) {
  if (offset > file.size() || file.size() - offset < sizeof(T))
    throw std::runtime_error(path + ": truncated ELF file");
  T v;
  std::memcpy(&v, file.data() + offset, sizeof v);
  return v;
}
}  // namespace

ElfImage ElfImage::load(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(path + ": cannot read");
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  auto eh = at<Elf32_Ehdr>(file, 0, path);
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS32 ||
      eh.e_ident[EI_DATA] != ELFDATA2LSB || eh.e_machine != EM_ARM)
    throw std::runtime_error(path + ": not a little-endian 32-bit ARM ELF file");

  ElfImage image;
  image.entry = eh.e_entry;
  for (unsigned i = 0; i < eh.e_phnum; i++) {
    auto ph = at<Elf32_Phdr>(file, eh.e_phoff + size_t{i} * eh.e_phentsize, path);
    if (ph.p_type != PT_LOAD || ph.p_filesz == 0) continue;
    if (ph.p_offset > file.size() || file.size() - ph.p_offset < ph.p_filesz)
      throw std::runtime_error(path + ": segment beyond the end of the file");
    image.segments.push_back(
        {ph.p_paddr, std::vector<uint8_t>(file.begin() + ph.p_offset, file.begin() + ph.p_offset + ph.p_filesz)});
  }

  for (unsigned i = 0; i < eh.e_shnum; i++) {
    auto sh = at<Elf32_Shdr>(file, eh.e_shoff + size_t{i} * eh.e_shentsize, path);
    if (sh.sh_type != SHT_SYMTAB) continue;
    auto strtab = at<Elf32_Shdr>(file, eh.e_shoff + size_t{sh.sh_link} * eh.e_shentsize, path);
    for (size_t off = 0; off + sizeof(Elf32_Sym) <= sh.sh_size; off += sizeof(Elf32_Sym)) {
      auto sym = at<Elf32_Sym>(file, sh.sh_offset + off, path);
      if (sym.st_name == 0 || sym.st_shndx == SHN_UNDEF) continue;
      size_t name_at = strtab.sh_offset + sym.st_name;
      if (name_at >= file.size()) continue;
      const char *name = reinterpret_cast<const char *>(file.data() + name_at);
      image.symbols.emplace(std::string(name, strnlen(name, file.size() - name_at)), sym.st_value);
    }
  }
  return image;
}

uint32_t ElfImage::symbol(const std::string &name) const {
  auto it = symbols.find(name);
  if (it == symbols.end()) throw std::runtime_error("no symbol " + name + " in the image");
  return it->second;
}

}  // namespace zv::emu
