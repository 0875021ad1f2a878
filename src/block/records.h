// Fixed records of the MDF 4 block types, laid out byte for byte as in the file.
#pragma once

#include <cstddef>
#include <cstdint>

// Every record is a plain little-endian structure; the asserts pin size and offsets so that
// the record can be read and written as one piece.

struct m4HDRecord {
  uint64_t hd_start_time_ns;
  int16_t hd_tz_offset_min;
  int16_t hd_dst_offset_min;
  uint8_t hd_time_flags;
  uint8_t hd_time_class;
  uint8_t hd_flags;
  uint8_t hd_reserved;
  double hd_start_angle_rad;
  double hd_start_distance_m;
};
static_assert(sizeof(m4HDRecord) == 32 && offsetof(m4HDRecord, hd_time_flags) == 12 &&
              offsetof(m4HDRecord, hd_start_angle_rad) == 16);

struct m4FHRecord {
  uint64_t fh_time_ns;
  int16_t fh_tz_offset_min;
  int16_t fh_dst_offset_min;
  uint8_t fh_time_flags;
  uint8_t fh_reserved[3];
};
static_assert(sizeof(m4FHRecord) == 16 && offsetof(m4FHRecord, fh_time_flags) == 12);

struct m4DGRecord {
  uint8_t dg_rec_id_size;
  uint8_t dg_reserved[7];
};
static_assert(sizeof(m4DGRecord) == 8);

struct m4CGRecord {
  uint64_t cg_record_id;
  uint64_t cg_cycle_count;
  uint16_t cg_flags;
  uint16_t cg_path_separator;
  uint8_t cg_reserved[4];
  uint32_t cg_data_bytes;
  uint32_t cg_inval_bytes;
};
static_assert(sizeof(m4CGRecord) == 32 && offsetof(m4CGRecord, cg_cycle_count) == 8 &&
              offsetof(m4CGRecord, cg_flags) == 16 && offsetof(m4CGRecord, cg_data_bytes) == 24);

struct m4CNRecord {
  uint8_t cn_type;
  uint8_t cn_sync_type;
  uint8_t cn_data_type;
  uint8_t cn_bit_offset;
  uint32_t cn_byte_offset;
  uint32_t cn_bit_count;
  uint32_t cn_flags;
  uint32_t cn_inval_bit_pos;
  uint8_t cn_precision;
  uint8_t cn_reserved;
  uint16_t cn_attachment_count;
  double cn_val_range_min;
  double cn_val_range_max;
  double cn_limit_min;
  double cn_limit_max;
  double cn_limit_ext_min;
  double cn_limit_ext_max;
};
static_assert(sizeof(m4CNRecord) == 72 && offsetof(m4CNRecord, cn_byte_offset) == 4 &&
              offsetof(m4CNRecord, cn_bit_count) == 8 && offsetof(m4CNRecord, cn_precision) == 20 &&
              offsetof(m4CNRecord, cn_val_range_min) == 24);

struct m4CCRecord {
  uint8_t cc_type;
  uint8_t cc_precision;
  uint16_t cc_flags;
  uint16_t cc_ref_count;
  uint16_t cc_val_count;
  double cc_phy_range_min;
  double cc_phy_range_max;
};
static_assert(sizeof(m4CCRecord) == 24 && offsetof(m4CCRecord, cc_val_count) == 6);

struct m4SIRecord {
  uint8_t si_type;
  uint8_t si_bus_type;
  uint8_t si_flags;
  uint8_t si_reserved[5];
};
static_assert(sizeof(m4SIRecord) == 8);

struct m4ATRecord {
  uint16_t at_flags;
  uint16_t at_creator_index;
  uint8_t at_reserved[4];
  uint8_t at_md5_checksum[16];
  uint64_t at_original_size;
  uint64_t at_embedded_size;
};
static_assert(sizeof(m4ATRecord) == 40 && offsetof(m4ATRecord, at_embedded_size) == 32);

struct m4EVRecord {
  uint8_t ev_type;
  uint8_t ev_sync_type;
  uint8_t ev_range_type;
  uint8_t ev_cause;
  uint8_t ev_flags;
  uint8_t ev_reserved[3];
  uint32_t ev_scope_count;
  uint16_t ev_attachment_count;
  uint16_t ev_creator_index;
  int64_t ev_sync_base_value;
  double ev_sync_factor;
};
static_assert(sizeof(m4EVRecord) == 32 && offsetof(m4EVRecord, ev_sync_base_value) == 16);

struct m4CHRecord {
  uint32_t ch_element_count;
  uint8_t ch_type;
  uint8_t ch_reserved[3];
};
static_assert(sizeof(m4CHRecord) == 8);

struct m4CARecord {
  uint8_t ca_type;
  uint8_t ca_storage;
  uint16_t ca_ndim;
  uint32_t ca_flags;
  int32_t ca_byte_offset_base;
  uint32_t ca_inval_bit_pos_base;
};
static_assert(sizeof(m4CARecord) == 16);

struct m4SRRecord {
  uint64_t sr_cycle_count;
  double sr_interval;
  uint8_t sr_sync_type;
  uint8_t sr_flags;
  uint8_t sr_reserved[6];
};
static_assert(sizeof(m4SRRecord) == 24 && offsetof(m4SRRecord, sr_sync_type) == 16);

struct m4DLRecord {
  uint8_t dl_flags;
  uint8_t dl_reserved[3];
  uint32_t dl_count;
};
static_assert(sizeof(m4DLRecord) == 8 && offsetof(m4DLRecord, dl_count) == 4);

struct m4HLRecord {
  uint16_t hl_flags;
  uint8_t hl_zip_type;
  uint8_t hl_reserved[5];
};
static_assert(sizeof(m4HLRecord) == 8);

struct m4DZRecord {
  char dz_org_block_type[2];
  uint8_t dz_zip_type;
  uint8_t dz_reserved;
  uint32_t dz_zip_parameter;
  uint64_t dz_org_data_length;
  uint64_t dz_data_length;
};
static_assert(sizeof(m4DZRecord) == 24 && offsetof(m4DZRecord, dz_zip_parameter) == 4 &&
              offsetof(m4DZRecord, dz_org_data_length) == 8 &&
              offsetof(m4DZRecord, dz_data_length) == 16);
