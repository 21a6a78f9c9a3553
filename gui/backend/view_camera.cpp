// The camera face: V4L2 capture devices (or KEZ_TEST_CAMERA's test
// patterns) streamed on a thread of their own, the preview painted in the
// face's window and single frames handed to the GUI thread on request.
#include "gui/backend/view_internal.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "gui/backend/d2d.h"
#include "gui/backend/draw.h"
#include "gui/backend/event.h"
#include "gui/backend/font.h"
#include "gui/backend/text_box.h"
#include "gui/backend/utils.h"
#include "platform/clipboard.h"
#include "platform/video_frames.h"
#include "platform/win/controls.h"
#include "runtime/arrays.h"
#include "runtime/collector.h"
#include "runtime/console.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/error_ids.h"
#include "runtime/image_os.h"
#include "runtime/interpreter.h"
#include "runtime/memory.h"
#include "runtime/ownership.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/system_stub.h"

namespace kez::gui::view {

namespace {

// Camera -------------------------------------------------------------------

// Capture devices are the V4L2 nodes /dev/video0 .. 7 that answer as video
// capture devices. A record lives in slot 56 while the face lists at least
// one; with none the face holds no record and cannot open a device.
//
// KEZ_TEST_CAMERA="WxH[/FORMAT][,...]" lists test-pattern devices in place of
// the V4L2 nodes, so the preview and capture can run where no camera is: each
// frame is red on its left half and blue on its right. With a FORMAT (yuyv,
// mjpeg) the device hands over its frames in that format, as a camera does,
// and they are converted as a camera's are.
struct camera_record {
  std::vector<std::string> paths;
  int fd = -1;
  double ratio = 0;
  // Streaming: mmap buffers of the device, the capture thread and its frame.
  std::vector<std::pair<void*, size_t>> buffers;
  std::thread thread;
  std::atomic<bool> running{false};
  frame_slot slot;
  uint32_t pixel_format = 0;
  HWND window = 0;
  // The preview: the latest frame, painted into the window fitted.
  std::mutex preview_lock;
  std::vector<uint32_t> preview;
  std::atomic<bool> repaint_posted{false};
};

constexpr UINT WM_CAMERA_FRAME = WM_USER + 1, WM_CAMERA_PREVIEW = WM_USER + 2;

static_assert(video::FORMAT_YUYV == V4L2_PIX_FMT_YUYV && video::FORMAT_MJPEG == V4L2_PIX_FMT_MJPEG);

// Capture thread: a converted frame becomes the preview (the window is told
// once until it has painted), and the frame the GUI thread waits for, if any.
void deliver_frame(camera_record* r, const std::vector<uint32_t>& frame) {
  {
    std::lock_guard<std::mutex> g(r->preview_lock);
    r->preview = frame;
  }
  if (!r->repaint_posted.exchange(true)) PostMessageW(r->window, WM_CAMERA_PREVIEW, 0, 0);
  if (r->slot.offer([&](std::vector<uint32_t>& px) { px = frame; })) PostMessageW(r->window, WM_CAMERA_FRAME, 0, 0);
}

// The capture thread: frames are converted and delivered; the device's
// queue is refilled with each buffer read.
void capture_loop(camera_record* r) {
  std::vector<uint32_t> frame;
  while (r->running.load()) {
    pollfd p{r->fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    if (::ioctl(r->fd, VIDIOC_DQBUF, &buf) < 0) continue;
    if (buf.index < r->buffers.size() &&
        video::to_pixels(r->pixel_format, static_cast<const uint8_t*>(r->buffers[buf.index].first), buf.bytesused,
                         r->slot.width, r->slot.height, frame))
      deliver_frame(r, frame);
    ::ioctl(r->fd, VIDIOC_QBUF, &buf);
  }
}

// The test pattern at about 50 frames a second; in the device's format,
// when it has one, each frame converted again as a camera's would be.
void test_pattern_loop(camera_record* r) {
  std::vector<uint32_t> frame(size_t(r->slot.width) * size_t(r->slot.height));
  for (int y = 0; y < r->slot.height; ++y)
    for (int x = 0; x < r->slot.width; ++x)
      frame[size_t(y) * size_t(r->slot.width) + size_t(x)] = x < r->slot.width / 2 ? 0xFFFF0000u : 0xFF0000FFu;
  std::vector<uint8_t> sent = video::from_pixels(r->pixel_format, r->slot.width, r->slot.height, frame);
  while (r->running.load()) {
    if (sent.empty() || video::to_pixels(r->pixel_format, sent.data(), sent.size(), r->slot.width, r->slot.height, frame))
      deliver_frame(r, frame);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// "test:WxH" or "test:WxH/FORMAT"; the format is 0 for plain pixels.
bool test_device(const std::string& path, int* w, int* h, uint32_t* format) {
  char name[8] = "";
  int n = std::sscanf(path.c_str(), "test:%dx%d/%7s", w, h, name);
  *format = std::strcmp(name, "yuyv") == 0 ? video::FORMAT_YUYV : std::strcmp(name, "mjpeg") == 0 ? video::FORMAT_MJPEG : 0;
  return n >= 2 && *w > 0 && *h > 0 && (n == 2 || *format);
}

void stop_streaming(camera_record* r) {
  if (r->running.exchange(false) && r->thread.joinable()) r->thread.join();
  if (r->fd >= 0) {
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ::ioctl(r->fd, VIDIOC_STREAMOFF, &type);
  }
  for (auto& b : r->buffers) ::munmap(b.first, b.second);
  r->buffers.clear();
  std::lock_guard<std::mutex> g(r->preview_lock);
  r->preview.clear();
}

// Streams YUYV or MJPEG frames with four mapped buffers; a device that
// offers neither is left open without a preview.
bool start_streaming(camera_record* r) {
  v4l2_format fmt{};
  fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (::ioctl(r->fd, VIDIOC_G_FMT, &fmt) < 0) return false;
  std::vector<uint32_t> offered;
  v4l2_fmtdesc desc{};
  desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  for (desc.index = 0; ::ioctl(r->fd, VIDIOC_ENUM_FMT, &desc) == 0; ++desc.index) offered.push_back(desc.pixelformat);
  if (offered.empty()) offered.push_back(fmt.fmt.pix.pixelformat);  // a driver that lists none has its current one
  uint32_t want = video::choose_format(offered);
  if (want && fmt.fmt.pix.pixelformat != want) {
    fmt.fmt.pix.pixelformat = want;
    if (::ioctl(r->fd, VIDIOC_S_FMT, &fmt) < 0) want = 0;
  }
  if (!want || fmt.fmt.pix.pixelformat != want) {
    stdout_::print_line("This device cannot preview!");
    return false;
  }
  r->pixel_format = want;
  r->slot.width = int(fmt.fmt.pix.width);
  r->slot.height = int(fmt.fmt.pix.height);
  v4l2_requestbuffers req{};
  req.count = 4;
  req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  req.memory = V4L2_MEMORY_MMAP;
  if (::ioctl(r->fd, VIDIOC_REQBUFS, &req) < 0 || req.count == 0) return false;
  for (uint32_t i = 0; i < req.count; ++i) {
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.index = i;
    if (::ioctl(r->fd, VIDIOC_QUERYBUF, &buf) < 0) return false;
    void* m = ::mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, r->fd, buf.m.offset);
    if (m == MAP_FAILED) return false;
    r->buffers.emplace_back(m, buf.length);
    ::ioctl(r->fd, VIDIOC_QBUF, &buf);
  }
  v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (::ioctl(r->fd, VIDIOC_STREAMON, &type) < 0) return false;
  r->slot.want();  // the first frame reaches the face by itself
  r->running = true;
  r->thread = std::thread(capture_loop, r);
  return true;
}

std::vector<std::pair<std::string, std::string>> list_capture_devices() {
  std::vector<std::pair<std::string, std::string>> out;
  if (const char* test = std::getenv("KEZ_TEST_CAMERA"); test && *test) {
    std::string all = test;
    for (size_t at = 0; at <= all.size();) {
      size_t end = std::min(all.find(',', at), all.size());
      std::string size = all.substr(at, end - at);
      int w, h;
      uint32_t format;
      if (test_device("test:" + size, &w, &h, &format)) out.emplace_back("test:" + size, "Test pattern " + size);
      at = end + 1;
    }
    return out;
  }
  for (int i = 0; i < 8; ++i) {
    std::string path = "/dev/video" + std::to_string(i);
    int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    v4l2_capability cap{};
    if (::ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0) {
      uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
      if (caps & V4L2_CAP_VIDEO_CAPTURE) out.emplace_back(path, reinterpret_cast<const char*>(cap.card));
    }
    ::close(fd);
  }
  return out;
}

// The records by window; slot 56 marks a window that has one.
std::map<HWND, std::unique_ptr<camera_record>> cameras;

camera_record* camera_of(HWND hwnd) {
  auto it = cameras.find(hwnd);
  return it == cameras.end() ? nullptr : it->second.get();
}

void camera_close(HWND hwnd) {
  camera_record* r = camera_of(hwnd);
  if (!r) return;
  stop_streaming(r);
  if (r->fd >= 0) ::close(r->fd);
  r->fd = -1;
  InvalidateRect(hwnd, nullptr, TRUE);
}

}  // namespace

void camera_destroy(HWND hwnd) {
  camera_close(hwnd);
  cameras.erase(hwnd);
  SetWindowLongW(hwnd, SLOT_CLOSING, 0);
}

void camera_open(HWND hwnd, const cell* face) {
  // The device names go to `data`, a new block when it holds none.
  cell data = facet(face, FACET_DATA);
  collector::root_cells keep(&data);
  if (block::any_block_q(type_of(&data))) {
    block::ks_clear(&data);
  } else {
    block::make_at(&data, 4);
    set_facet(face, FACET_DATA, data);
  }
  SetWindowLongW(hwnd, SLOT_CLOSING, 0);
  auto devices = list_capture_devices();
  if (devices.empty()) {
    stdout_::print_line("No video capture hardware");
    return;
  }
  auto* r = new camera_record;
  for (auto& d : devices) {
    r->paths.push_back(d.first);
    cell name{TYPE_NONE, 0, 0, 0};
    collector::root_cells keep_name(&name);
    string::load(reinterpret_cast<const uint8_t*>(d.second.data()), d.second.size(), &name);
    block::ks_append(&data, &name);
  }
  cameras[hwnd].reset(r);
  SetWindowLongW(hwnd, SLOT_CLOSING, 1);
  cell sel = facet(face, FACET_SELECTED);
  if (type_of(&sel) == TYPE_INTEGER) camera_select(hwnd, face, &sel);
}

// Opens device n (1-based); a face whose `ratio` field holds a float learns
// the device's width / height.
void camera_select(HWND hwnd, const cell* face, const cell* selected) {
  camera_record* r = camera_of(hwnd);
  if (type_of(selected) == TYPE_NONE) {
    camera_close(hwnd);
    return;
  }
  int32_t n = type_of(selected) == TYPE_INTEGER ? integer::get(selected) : 0;
  auto cannot_open = [n] {
    cell arg;
    integer::make_at(&arg, n);
    error::fire(err::cat_access, err::access::cannot_open, &arg);
  };
  if (!r || n < 1 || n > int32_t(r->paths.size())) cannot_open();
  camera_close(hwnd);
  r->window = hwnd;
  const std::string& path = r->paths[size_t(n - 1)];
  int tw, th;
  uint32_t format;
  if (test_device(path, &tw, &th, &format)) {
    r->slot.width = tw, r->slot.height = th;
    r->pixel_format = format;
    r->ratio = double(tw) / double(th);
  } else {
    r->fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (r->fd < 0) cannot_open();
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (::ioctl(r->fd, VIDIOC_G_FMT, &fmt) == 0 && fmt.fmt.pix.height)
      r->ratio = double(fmt.fmt.pix.width) / double(fmt.fmt.pix.height);
  }
  if (cell* ratio = object_field_slot(face, "ratio"); ratio && r->ratio > 0 && type_of(ratio) == TYPE_FLOAT)
    float_::make_at(ratio, r->ratio);
  if (r->fd >= 0) {
    start_streaming(r);
  } else {
    r->slot.want();  // the first frame reaches the face by itself
    r->running = true;
    r->thread = std::thread(test_pattern_loop, r);
  }
}
namespace {

// gui/camera-fit-video: the video keeps the device's ratio r inside the
// client area w by h, centred on the axis it does not fill.
RECT camera_fit(double r, int w, int h) {
  if (r <= 0) return RECT{0, 0, w, h};
  if (h * r >= w) {
    int vh = int(std::lround(w / r)), top = int(std::lround((h - vh) / 2.0));
    return RECT{0, top, w, top + vh};
  }
  int vw = int(std::lround(h * r)), left = int(std::lround((w - vw) / 2.0));
  return RECT{left, 0, left + vw, h};
}

// The latest frame scaled into the fitted rectangle, over the window's
// background.
void camera_paint(HWND hwnd) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  RECT client;
  GetClientRect(hwnd, &client);
  FillRect(dc, &client, GetSysColorBrush(COLOR_BACKGROUND));
  camera_record* r = camera_of(hwnd);
  if (r) r->repaint_posted.store(false);
  std::vector<uint32_t> frame;
  int fw = r ? r->slot.width : 0, fh = r ? r->slot.height : 0;
  if (r) {
    std::lock_guard<std::mutex> g(r->preview_lock);
    frame = r->preview;
  }
  RECT fit = camera_fit(r ? r->ratio : 0, client.right, client.bottom);
  int vw = fit.right - fit.left, vh = fit.bottom - fit.top;
  if (!frame.empty() && frame.size() == size_t(fw) * size_t(fh) && vw > 0 && vh > 0) {
    void* bits = nullptr;
    if (HBITMAP bmp = make_dib(dc, vw, vh, &bits)) {
      auto* px = static_cast<uint32_t*>(bits);
      for (int y = 0; y < vh; ++y)
        for (int x = 0; x < vw; ++x)
          px[size_t(y) * size_t(vw) + size_t(x)] =
              frame[size_t(y * fh / vh) * size_t(fw) + size_t(x * fw / vw)] | 0xFF000000u;
      HDC mem = CreateCompatibleDC(dc);
      HGDIOBJ old = SelectObject(mem, bmp);
      BitBlt(dc, fit.left, fit.top, vw, vh, mem, 0, 0, SRCCOPY);
      SelectObject(mem, old);
      DeleteDC(mem);
      DeleteObject(bmp);
    }
  }
  EndPaint(hwnd, &ps);
}

// The frame in the slot as the face's image (state 2 only), the slot idle.
void camera_frame_ready(HWND hwnd) {
  camera_record* r = camera_of(hwnd);
  if (!r) return;
  cell face;
  if (r->slot.state.load() == 2 && window_face(hwnd, &face)) {
    collector::root_cells keep(&face);
    cell img = facet(&face, FACET_IMAGE);
    if (type_of(&img) == TYPE_NONE && r->slot.width > 0 && r->slot.height > 0) {
      uint32_t node = image_os::from_memory(uint32_t(r->slot.width), uint32_t(r->slot.height), uint32_t(r->slot.width) * 4,
                                            reinterpret_cast<const uint8_t*>(r->slot.pixels.data()));
      if (node) image::make_at(&img, node);
      set_facet(&face, FACET_IMAGE, img);
    }
  }
  r->slot.state.store(0);
}

}  // namespace

// gui/camera-grab: asks for a frame and waits for it up to 3 s.
void camera_grab(HWND hwnd, const cell* face) {
  cell none_v{TYPE_NONE, 0, 0, 0};
  set_facet(face, FACET_IMAGE, none_v);
  camera_record* r = camera_of(hwnd);
  if (!r || !r->running) return;
  r->slot.want();
  for (double waited = 0; r->slot.state.load() != 2 && waited <= 3.0; waited += 0.01) ::usleep(10000);
  if (r->slot.give_up()) return;
  while (r->slot.state.load() == 3) ::usleep(1000);
  camera_frame_ready(hwnd);
}
LRESULT camera_wnd_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  switch (msg) {
    case WM_DESTROY: camera_destroy(hwnd); break;
    case WM_CAMERA_FRAME: camera_frame_ready(hwnd); return 0;
    case WM_CAMERA_PREVIEW: InvalidateRect(hwnd, nullptr, FALSE); return 0;
    case WM_PAINT: camera_paint(hwnd); return 0;
    case WM_ERASEBKGND: return 1;
    default: break;
  }
  return DefWindowProcW(hwnd, msg, wparam, lparam);
}

}  // namespace kez::gui::view
