// The metadata dictionary of read_metadata, which both modules return.
#include "binding/dicts.hpp"

#include "header/metadata.hpp"
#include "header/timetext.hpp"

namespace morvane::py {

PyObject* metadata_dict(const MetadataBlock& m, const DataTimeRange& range) {
    DictBuilder d;
    d.add("packet_header", text_or_none(m.packet_header));
    d.add("packet_length", unsigned_int(m.packet_length));
    d.add("hardware_type", text_or_none(m.hardware_type));
    d.add("device_id", unsigned_int(m.device_id));
    d.add("session_id", unsigned_int(m.session_id));
    d.add("upper_device_id", unsigned_int(m.upper_device_id));
    d.add("logging_start_time_raw", time_text(m.logging_start_time));
    d.add("logging_end_time_raw", time_text(m.logging_end_time));
    d.add("last_change_time_raw", time_text(m.last_change_time));
    d.add("start_from_data_raw", micros_text(range.first_sample_us));
    d.add("end_from_data_raw", micros_text(range.last_sample_us));
    d.add("flash_led", unsigned_int(m.flash_led));
    d.add("sensor_config", unsigned_int(m.sensor_config));
    d.add("sample_rate_hz", check(PyFloat_FromDouble(m.sample_rate_hz)));
    d.add("accel_range", unsigned_int(m.accel_range));
    d.add("firmware_revision", unsigned_int(m.firmware_revision));
    d.add("annotation", text_or_none(m.annotation));
    d.add("gyro_range", m.gyro_range ? unsigned_int(*m.gyro_range) : OwnedRef(Py_NewRef(Py_None)));
    d.add("magnetometer_enabled", OwnedRef(PyBool_FromLong(m.magnetometer_enabled)));
    return d.release();
}

}  // namespace morvane::py
