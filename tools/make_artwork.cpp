// Draws the logo bitmap and the application icon that the resource script embeds.
// Runs on the build machine:  make_artwork LOGO.bmp ICON.ico
//
// The letters are geometric shapes defined below, rendered by supersampling each pixel and
// mapping the covered fraction to one of 16 shades of the letter colour scaled towards black.
// The logo's background is pure green and is never blended with the letters: the dialog paints
// the logo with green as the transparent colour, and any greenish edge pixel would show as a
// fringe. Output is byte-for-byte reproducible (no clock, no randomness, no fonts).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------------
// Shapes, in glyph units: cap height 1000, y up from the baseline, x from the glyph's left edge.

struct Point {
    double x, y;
};

// Axis-aligned rectangle with its own radius at each corner (0 = square corner).
struct RoundRect {
    double x0, y0, x1, y1;
    double bottomLeft, bottomRight, topRight, topLeft;
};

bool insideCorner(double x, double y, double cx, double cy, double r) {
    const double dx = x - cx, dy = y - cy;
    return dx * dx + dy * dy <= r * r;
}

bool inside(const RoundRect& s, double x, double y) {
    if (x < s.x0 || x > s.x1 || y < s.y0 || y > s.y1) return false;
    double r = s.bottomLeft;
    if (r > 0 && x < s.x0 + r && y < s.y0 + r) return insideCorner(x, y, s.x0 + r, s.y0 + r, r);
    r = s.bottomRight;
    if (r > 0 && x > s.x1 - r && y < s.y0 + r) return insideCorner(x, y, s.x1 - r, s.y0 + r, r);
    r = s.topRight;
    if (r > 0 && x > s.x1 - r && y > s.y1 - r) return insideCorner(x, y, s.x1 - r, s.y1 - r, r);
    r = s.topLeft;
    if (r > 0 && x < s.x0 + r && y > s.y1 - r) return insideCorner(x, y, s.x0 + r, s.y1 - r, r);
    return true;
}

bool inside(const std::vector<Point>& polygon, double x, double y) {
    bool in = false;
    for (std::size_t i = 0, j = polygon.size() - 1; i < polygon.size(); j = i++) {
        const Point& a = polygon[i];
        const Point& b = polygon[j];
        if ((a.y > y) != (b.y > y) && x < (b.x - a.x) * (y - a.y) / (b.y - a.y) + a.x) in = !in;
    }
    return in;
}

struct Shape {
    bool isPolygon;
    RoundRect rect;
    std::vector<Point> polygon;
};

Shape box(double x0, double y0, double x1, double y1, double bl = 0, double br = 0, double tr = 0,
          double tl = 0) {
    return Shape{false, RoundRect{x0, y0, x1, y1, bl, br, tr, tl}, {}};
}

Shape poly(std::vector<Point> points) { return Shape{true, RoundRect{}, std::move(points)}; }

bool inside(const Shape& s, double x, double y) {
    return s.isPolygon ? inside(s.polygon, x, y) : inside(s.rect, x, y);
}

// One solid piece of a letter, minus its counters.
struct Part {
    Shape solid;
    std::vector<Shape> holes;
};

struct Glyph {
    double width;
    std::vector<Part> parts;
};

bool inside(const Glyph& g, double x, double y) {
    for (const Part& p : g.parts) {
        if (!inside(p.solid, x, y)) continue;
        bool inHole = false;
        for (const Shape& h : p.holes) inHole = inHole || inside(h, x, y);
        if (!inHole) return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// The alphabet of the word mark: a wide, heavy sans-serif. T, E, N and A are square and angular,
// S and R are built from rounded rectangles, as in the technical grotesques of model-sport brands.

constexpr double capHeight = 1000;
constexpr double stem = 265;  // vertical strokes
constexpr double bar = 215;   // horizontal strokes, a little lighter so they look equal
constexpr double outerRadius = 300;
constexpr double innerRadius = 95;
constexpr double slant = 0.2;  // italic shear: x moves by slant * y

Glyph letterT() {
    const double w = 860;
    return {w,
            {{box(0, capHeight - bar, w, capHeight), {}},
             {box((w - stem) / 2, 0, (w + stem) / 2, capHeight), {}}}};
}

Glyph letterE() {
    const double w = 720;
    const double mid = capHeight / 2;
    return {w,
            {{box(0, 0, stem, capHeight), {}},
             {box(0, capHeight - bar, w, capHeight), {}},
             {box(0, mid - bar / 2, w - 50, mid + bar / 2), {}},
             {box(0, 0, w, bar), {}}}};
}

Glyph letterS() {
    const double w = 800;
    const double mid = capHeight / 2;
    const double R = outerRadius, r = innerRadius;
    // Two stacked rounded rings sharing the middle stroke. The upper ring keeps its top stroke,
    // left side and the left half of the middle stroke; the lower ring the rest. Splitting the
    // middle stroke at its centre lets each end keep the corner of the ring it turns into.
    Part upper{box(0, mid - bar / 2, w, capHeight, R, R, R, R),
               {box(stem, mid + bar / 2, w - stem, capHeight - bar, r, r, r, r),
                box(w / 2, mid - bar, w + 1, capHeight - bar)}};
    Part lower{
        box(0, 0, w, mid + bar / 2, R, R, R, R),
        {box(stem, bar, w - stem, mid - bar / 2, r, r, r, r), box(-1, bar, w / 2, mid + bar)}};
    return {w, {upper, lower}};
}

Glyph letterR() {
    const double w = 800;
    const double bowlBottom = 380;
    const double R = outerRadius, r = innerRadius;
    const double leg = 285;  // horizontal width of the leg
    Part bowl{box(0, bowlBottom, w, capHeight, 0, R * 0.8, R, 0),
              {box(stem, bowlBottom + bar, w - stem, capHeight - bar, 0, r, r, 0)}};
    Part legPart{poly({{w * 0.36, bowlBottom + bar},
                       {w * 0.36 + leg, bowlBottom + bar},
                       {w, 0},
                       {w - leg, 0}}),
                 {}};
    return {w, {{box(0, 0, stem, capHeight), {}}, bowl, legPart}};
}

Glyph letterA() {
    const double w = 1000;
    const double apex = 170;  // flat top
    // Horizontal widths of the diagonals: the shear tilts the left one further and thins it,
    // so it starts wider to look as heavy as the right one in the finished italic.
    const double leftDiagonal = 315, rightDiagonal = 270;
    const double barBottom = 165, barTop = 345;
    const double rise = w / 2 - apex / 2;
    auto innerLeft = [&](double y) { return leftDiagonal + y * rise / capHeight; };
    auto innerRight = [&](double y) { return w - rightDiagonal - y * rise / capHeight; };
    // Where the two inner edges meet: the top of the counter.
    const double counterTop = (w - leftDiagonal - rightDiagonal) * capHeight / (2 * rise);
    Part body{poly({{0, 0}, {w, 0}, {w / 2 + apex / 2, capHeight}, {w / 2 - apex / 2, capHeight}}),
              {poly({{innerLeft(barTop), barTop},
                     {innerRight(barTop), barTop},
                     {innerLeft(counterTop), counterTop}}),
               poly({{innerLeft(-10), -10},
                     {innerRight(-10), -10},
                     {innerRight(barBottom), barBottom},
                     {innerLeft(barBottom), barBottom}})}};
    return {w, {body}};
}

Glyph letterN() {
    const double w = 840;
    const double diagonal = 300;
    return {w,
            {{box(0, 0, stem, capHeight), {}},
             {box(w - stem, 0, w, capHeight), {}},
             {poly({{0, capHeight}, {diagonal, capHeight}, {w, 0}, {w - diagonal, 0}}), {}}}};
}

Glyph letter(char c) {
    switch (c) {
        case 'T': return letterT();
        case 'E': return letterE();
        case 'S': return letterS();
        case 'R': return letterR();
        case 'A': return letterA();
        default: return letterN();
    }
}

// ---------------------------------------------------------------------------------------------
// Rendering: coverage from an n x n grid of samples per pixel, quantised to 0..16.

constexpr int shades = 16;

struct PlacedGlyph {
    Glyph glyph;
    double left;  // glyph origin in word units
};

struct Layout {
    std::vector<PlacedGlyph> glyphs;
    double scale;     // pixels per glyph unit
    double originX;   // pixel x of the word's origin
    double baseline;  // pixel y (from the top) of the baseline
    double shear;
};

// Coverage of one pixel in sixteenths.
int coverage(const Layout& layout, int px, int py, int grid) {
    int hits = 0;
    for (int sy = 0; sy < grid; ++sy) {
        const double y = (layout.baseline - (py + (sy + 0.5) / grid)) / layout.scale;
        for (int sx = 0; sx < grid; ++sx) {
            const double x =
                (px + (sx + 0.5) / grid - layout.originX) / layout.scale - layout.shear * y;
            for (const PlacedGlyph& g : layout.glyphs) {
                const double gx = x - g.left;
                if (gx < -1 || gx > g.glyph.width + 1) continue;
                if (inside(g.glyph, gx, y)) {
                    ++hits;
                    break;
                }
            }
        }
    }
    return (hits * shades + grid * grid / 2) / (grid * grid);
}

struct Rgb {
    std::uint8_t r, g, b;
};

Rgb shade(Rgb full, int k) {
    return {static_cast<std::uint8_t>(k * full.r / shades),
            static_cast<std::uint8_t>(k * full.g / shades),
            static_cast<std::uint8_t>(k * full.b / shades)};
}

// ---------------------------------------------------------------------------------------------
// Little-endian writers.

void put16(std::vector<std::uint8_t>& out, unsigned v) {
    out.push_back(v & 0xFF);
    out.push_back((v >> 8) & 0xFF);
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

void putInfoHeader(std::vector<std::uint8_t>& out, int width, int height, int bits,
                   std::uint32_t imageSize) {
    put32(out, 40);
    put32(out, static_cast<std::uint32_t>(width));
    put32(out, static_cast<std::uint32_t>(height));
    put16(out, 1);  // planes
    put16(out, bits);
    put32(out, 0);  // BI_RGB
    put32(out, imageSize);
    put32(out, 0);  // no resolution
    put32(out, 0);
    put32(out, 0);  // no colour table
    put32(out, 0);
}

bool writeFile(const char* path, const std::vector<std::uint8_t>& bytes) {
    std::FILE* f = std::fopen(path, "wb");
    if (!f) {
        std::perror(path);
        return false;
    }
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !ok) {
        std::perror(path);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// The logo: TESSERAN, 1,772 x 263, 24-bit, red on pure green.

constexpr int logoWidth = 1772;
constexpr int logoHeight = 263;
constexpr Rgb logoRed{227, 0, 11};
constexpr Rgb logoGreen{0, 255, 0};
constexpr double letterGap = 80;

Layout logoLayout() {
    Layout layout;
    const std::string word = "TESSERAN";
    double x = 0;
    for (char c : word) {
        layout.glyphs.push_back({letter(c), x});
        x = layout.glyphs.back().left + layout.glyphs.back().glyph.width + letterGap;
    }
    const double wordWidth = x - letterGap + slant * capHeight;
    const double margin = 24;  // keeps the anti-aliased edges off the border
    layout.scale =
        std::min((logoWidth - 2 * margin) / wordWidth, (logoHeight - 2 * margin) / capHeight);
    layout.originX = (logoWidth - wordWidth * layout.scale) / 2;
    layout.baseline = (logoHeight + capHeight * layout.scale) / 2;
    layout.shear = slant;
    return layout;
}

std::vector<std::uint8_t> makeLogo() {
    const Layout layout = logoLayout();
    const std::uint32_t rowBytes = (logoWidth * 3 + 3) & ~3u;
    const std::uint32_t imageSize = rowBytes * logoHeight;
    std::vector<std::uint8_t> out;
    out.push_back('B');
    out.push_back('M');
    put32(out, 14 + 40 + imageSize);
    put32(out, 0);
    put32(out, 14 + 40);
    putInfoHeader(out, logoWidth, logoHeight, 24, imageSize);
    for (int py = logoHeight - 1; py >= 0; --py) {  // bottom-up
        for (int px = 0; px < logoWidth; ++px) {
            const int k = coverage(layout, px, py, 8);
            const Rgb c = k == 0 ? logoGreen : shade(logoRed, k);
            out.push_back(c.b);
            out.push_back(c.g);
            out.push_back(c.r);
        }
        for (std::uint32_t pad = logoWidth * 3; pad < rowBytes; ++pad) out.push_back(0);
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// The icon: the word mark's T, red on black, at five sizes; 32-bit DIBs with an (empty) AND mask.

constexpr Rgb iconRed{224, 32, 0};
constexpr int iconSizes[] = {16, 32, 48, 64, 128};

// The T on the pixel grid for the smallest size: upright, every edge on a pixel boundary,
// because a sheared 3-pixel stem would blur into a smudge. Pixel units, y up.
Layout pixelSnappedT(int size) {
    const double margin = std::round(size / 8.0);
    const double height = size - 2 * margin;
    auto even = [](double v) { return 2 * std::round(v / 2); };  // keeps the T centred on the grid
    const double width = even(letterT().width / capHeight * height);
    const double stemPx = even(stem / capHeight * height);
    const double barPx = std::round(bar / capHeight * height);
    const double left = (size - width) / 2;
    Glyph t{width,
            {{box(0, height - barPx, width, height), {}},
             {box((width - stemPx) / 2, 0, (width + stemPx) / 2, height), {}}}};
    Layout layout;
    layout.glyphs.push_back({t, 0});
    layout.scale = 1;
    layout.originX = left;
    layout.baseline = size - margin;
    layout.shear = 0;
    return layout;
}

// The word mark's T, sheared like the logo, fitted to the square with a margin.
Layout iconT(int size) {
    Layout layout;
    const Glyph t = letterT();
    const double span = t.width + slant * capHeight;
    const double margin = size / 8.0;
    layout.scale = std::min((size - 2 * margin) / span, (size - 2 * margin) / capHeight);
    layout.originX = (size - span * layout.scale) / 2;
    layout.baseline = std::round((size + capHeight * layout.scale) / 2);
    layout.shear = slant;
    layout.glyphs.push_back({t, 0});
    return layout;
}

std::vector<std::uint8_t> makeIconImage(int size) {
    const Layout layout = size < 32 ? pixelSnappedT(size) : iconT(size);

    const std::uint32_t maskRow = ((size + 31) / 32) * 4;
    const std::uint32_t colourBytes = static_cast<std::uint32_t>(size * size * 4);
    std::vector<std::uint8_t> out;
    putInfoHeader(out, size, size * 2, 32, colourBytes + maskRow * size);
    for (int py = size - 1; py >= 0; --py) {
        for (int px = 0; px < size; ++px) {
            const Rgb c = shade(iconRed, coverage(layout, px, py, 16));
            out.push_back(c.b);
            out.push_back(c.g);
            out.push_back(c.r);
            out.push_back(0xFF);  // fully opaque: the black square is part of the icon
        }
    }
    out.insert(out.end(), maskRow * size, 0);  // AND mask: nothing transparent
    return out;
}

std::vector<std::uint8_t> makeIcon() {
    std::vector<std::vector<std::uint8_t>> images;
    for (int size : iconSizes) images.push_back(makeIconImage(size));
    const std::size_t count = images.size();
    std::vector<std::uint8_t> out;
    put16(out, 0);
    put16(out, 1);  // icon
    put16(out, static_cast<unsigned>(count));
    std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * count);
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(static_cast<std::uint8_t>(iconSizes[i]));
        out.push_back(static_cast<std::uint8_t>(iconSizes[i]));
        out.push_back(0);  // no palette
        out.push_back(0);
        put16(out, 1);
        put16(out, 32);
        put32(out, static_cast<std::uint32_t>(images[i].size()));
        put32(out, offset);
        offset += static_cast<std::uint32_t>(images[i].size());
    }
    for (const auto& image : images) out.insert(out.end(), image.begin(), image.end());
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s LOGO.bmp ICON.ico\n", argv[0]);
        return 2;
    }
    return writeFile(argv[1], makeLogo()) && writeFile(argv[2], makeIcon()) ? 0 : 1;
}
