#include "chip/devices/i2c.h"

namespace zv::chip {

namespace {
constexpr u32 kRxFull = 1u << 2, kRdReq = 1u << 5, kTxAbrt = 1u << 6, kActivity = 1u << 6;
}

u32 I2cSlave::raw_intr() const {
  return (rx_.empty() ? 0 : kRxFull) | (rd_req_ ? kRdReq : 0) | (tx_abrt_ ? kTxAbrt : 0);
}

bool I2cSlave::answers(u8 address) const {
  return enable_ != 0 && !in_reset() && (sar_ & 0x7f) == address;
}

void I2cSlave::reset_state() {
  con_ = sar_ = intr_mask_ = rx_tl_ = tx_tl_ = enable_ = a0_ = a4_ = 0;
  rd_req_ = tx_abrt_ = false;
  rx_.clear();
  remaining_ = 0;
}

u32 I2cSlave::read32(u32 addr) {
  if (in_reset()) reset_state();
  switch (addr - kBase) {
    case 0x00: return con_;
    case 0x08: return sar_;
    case 0x10: {
      if (rx_.empty()) fault("i2c2: read of the data register with an empty receive FIFO");
      u8 b = rx_.front();
      rx_.pop_front();
      return b;
    }
    case 0x2c: return raw_intr() & intr_mask_;
    case 0x30: return intr_mask_;
    case 0x38: return rx_tl_;
    case 0x3c: return tx_tl_;
    case 0x40:
      rd_req_ = false;
      tx_abrt_ = false;
      return 0;
    case 0x50: rd_req_ = false; return 0;
    case 0x54: tx_abrt_ = false; return 0;
    case 0x6c: return enable_;
    case 0x70: return remaining_ > 0 ? kActivity : 0;
    case 0xa0: return a0_;
    case 0xa4: return a4_;
    default: unmodelled(addr, "read");
  }
}

void I2cSlave::write32(u32 addr, u32 value) {
  if (in_reset()) reset_state();
  switch (addr - kBase) {
    case 0x00: con_ = value; return;
    case 0x08: sar_ = value; return;
    case 0x10:
      if (remaining_ == 0) fault("i2c2: slave transmits with no read in progress");
      received_.push_back(static_cast<u8>(value & 0xff));
      remaining_--;
      return;
    case 0x30: intr_mask_ = value; return;
    case 0x38: rx_tl_ = value; return;
    case 0x3c: tx_tl_ = value; return;
    case 0x6c: enable_ = value; return;
    case 0xa0: a0_ = value; return;
    case 0xa4: a4_ = value; return;
    default: unmodelled(addr, "write");
  }
}

bool I2cSlave::master_write(u8 address, const std::vector<u8> &bytes) {
  if (in_reset() || !answers(address)) return false;
  rx_.insert(rx_.end(), bytes.begin(), bytes.end());
  return true;
}

bool I2cSlave::master_request_read(u8 address, u32 count) {
  if (in_reset() || !answers(address)) return false;
  rd_req_ = true;
  remaining_ = count;
  received_.clear();
  return true;
}

std::vector<u8> I2cSlave::master_take_received() {
  std::vector<u8> out;
  out.swap(received_);
  return out;
}

}  // namespace zv::chip
