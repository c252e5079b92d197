/*
 * ZarniksuDriver::ObjScan: the OBJ reader's common lines read in bulk.
 *
 * Vertex, texture coordinate and normal lines and faces of three or four corners that count
 * from the file's start go straight into the reader's arrays, as the reader's Ruby code would
 * put them there. The first line it does not take in full is left where it is: the scan stops before
 * it, and the reader reads it the long way, with every check and message it has. What it
 * takes is therefore only what it can read without doubt: plain ASCII, no continuation, no
 * number form but the plain decimal one, no corner that is missing or counted backwards, no
 * face that leaves a triangle without area.
 *
 * It runs on the caller's thread only and calls no Ruby method; the only exceptions it
 * raises are its own argument checks, through rb_raise, with nothing of its own to free.
 */
#define _GNU_SOURCE 1
#include <locale.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <ruby.h>
#include <ruby/encoding.h>

/* The longest number or index taken; longer ones are the reader's. */
#define TOKEN_MAX 63
#define FIELDS_MAX 6
#define INDEX_DIGITS_MAX 15

enum { ARRAY_POSITIONS, ARRAY_UVS, ARRAY_NORMALS, ARRAY_SLOTS, ARRAY_MATERIALS, ARRAY_MIN, ARRAY_MAX,
       ARRAY_NO_UV, ARRAY_COUNT };
enum { SETTING_LIMIT, SETTING_SCALE, SETTING_SMOOTHING, SETTING_FLAT, SETTING_MATERIAL, SETTING_FACES,
       SETTING_COUNT };

/* Numbers are read as C reads them whatever the host's locale says. */
static locale_t c_locale;

typedef struct {
    const char *start;
    long length;
} field;

typedef struct {
    VALUE positions, uvs, normals, slots, materials, no_uv;
    double scale;
    VALUE smoothing, material;
    long flat;
    int faces;
    double min[3], max[3];
    long taken_faces, taken_triangles;
} scan_state;

static int is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
static int is_digit(char c) { return c >= '0' && c <= '9'; }

/* [+-]digits[.digits][(e|E)[+-]digits], finite: the form both Ruby's Float() and strtod read
 * to the same double. */
static int plain_number(const field *f, double *out)
{
    const char *p = f->start, *end = f->start + f->length;
    char buffer[TOKEN_MAX + 1];
    char *stop;
    if (f->length > TOKEN_MAX) return 0;
    if (p < end && (*p == '+' || *p == '-')) p++;
    if (p == end || !is_digit(*p)) return 0;
    while (p < end && is_digit(*p)) p++;
    if (p < end && *p == '.') {
        p++;
        if (p == end || !is_digit(*p)) return 0;
        while (p < end && is_digit(*p)) p++;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        p++;
        if (p < end && (*p == '+' || *p == '-')) p++;
        if (p == end || !is_digit(*p)) return 0;
        while (p < end && is_digit(*p)) p++;
    }
    if (p != end) return 0;
    memcpy(buffer, f->start, (size_t)f->length);
    buffer[f->length] = '\0';
    *out = strtod_l(buffer, &stop, c_locale);
    return stop == buffer + f->length && isfinite(*out);
}

/* Digits only, 1 to count; 0 for an empty part, -1 for anything else. */
static long part_index(const char *p, const char *end, long count)
{
    long value = 0;
    if (p == end) return 0;
    if (end - p > INDEX_DIGITS_MAX) return -1;
    for (; p < end; p++) {
        if (!is_digit(*p)) return -1;
        value = value * 10 + (*p - '0');
    }
    return value >= 1 && value <= count ? value : -1;
}

/* "p", "p/t", "p//n", "p/t/n" (a part may be left empty after the first), each index
 * existing; the texture coordinate and normal are 0 when not given. */
static int corner(const field *f, long positions, long uvs, long normals, long out[3])
{
    const char *p = f->start, *end = f->start + f->length;
    const char *cut[3] = {end, end, end};
    int parts = 1;
    for (const char *q = p; q < end; q++) {
        if (*q != '/') continue;
        if (parts == 3) return 0;
        cut[parts - 1] = q;
        parts++;
    }
    out[0] = part_index(p, cut[0], positions);
    if (out[0] <= 0) return 0;
    out[1] = parts > 1 ? part_index(cut[0] + 1, cut[1], uvs) : 0;
    out[2] = parts > 2 ? part_index(cut[1] + 1, end, normals) : 0;
    return out[1] >= 0 && out[2] >= 0;
}

static void point_of(VALUE point, double xyz[3])
{
    if (!RB_TYPE_P(point, T_ARRAY) || RARRAY_LEN(point) < 3)
        rb_raise(rb_eTypeError, "a position is an Array of 3 Floats");
    for (int axis = 0; axis < 3; axis++) {
        VALUE value = RARRAY_AREF(point, axis);
        if (!RB_FLOAT_TYPE_P(value)) rb_raise(rb_eTypeError, "a position is an Array of 3 Floats");
        xyz[axis] = RFLOAT_VALUE(value);
    }
}

static VALUE triple(double a, double b, double c)
{
    return rb_ary_new_from_args(3, DBL2NUM(a), DBL2NUM(b), DBL2NUM(c));
}

/* The corners of a face as the reader resolves them; 0 when one is not plainly there. */
static int resolve_corners(scan_state *s, const field *fields, int count, long index[][3], VALUE point[],
                           double xyz[][3])
{
    long positions = RARRAY_LEN(s->positions), uvs = RARRAY_LEN(s->uvs), normals = RARRAY_LEN(s->normals);
    for (int k = 0; k < count; k++) {
        if (!corner(&fields[k + 1], positions, uvs, normals, index[k])) return 0;
        point[k] = RARRAY_AREF(s->positions, index[k][0] - 1);
        point_of(point[k], xyz[k]);
    }
    return 1;
}

/* Triangles of corners a, b, c each (positions in triangles[]), the given normal or else
 * face_normal, the given uv or else the reader's none, all on one surface. */
static void emit(scan_state *s, int count, const int (*triangles)[3], long index[][3], const VALUE point[],
                 VALUE face_normal, VALUE surface)
{
    VALUE slots[12];
    for (int t = 0; t < count; t++) {
        for (int k = 0; k < 3; k++) {
            int c = triangles[t][k];
            slots[k * 4] = point[c];
            slots[k * 4 + 1] = index[c][2] ? RARRAY_AREF(s->normals, index[c][2] - 1) : face_normal;
            slots[k * 4 + 2] = index[c][1] ? RARRAY_AREF(s->uvs, index[c][1] - 1) : s->no_uv;
            slots[k * 4 + 3] = surface;
        }
        rb_ary_cat(s->slots, slots, 12);
        rb_ary_push(s->materials, s->material);
    }
    s->taken_faces++;
    s->taken_triangles += count;
}

static int needs_face_normal(long index[][3], int count)
{
    for (int k = 0; k < count; k++)
        if (!index[k][2]) return 1;
    return 0;
}

static VALUE next_surface(scan_state *s)
{
    if (!NIL_P(s->smoothing)) return s->smoothing;
    return LONG2NUM(s->flat--);
}

/* Every corner a face names, met for the first time or not, widens the bounds. */
static void widen_bounds(scan_state *s, double xyz[][3], int count)
{
    for (int k = 0; k < count; k++) {
        for (int axis = 0; axis < 3; axis++) {
            if (xyz[k][axis] < s->min[axis]) s->min[axis] = xyz[k][axis];
            if (xyz[k][axis] > s->max[axis]) s->max[axis] = xyz[k][axis];
        }
    }
}

/* The face's triangle with the reader's rules: its normal for corners without one, a
 * smoothing surface or a flat one of its own. 0 leaves the line to the reader. */
static int triangle(scan_state *s, const field *fields)
{
    static const int only[1][3] = {{0, 1, 2}};
    long index[3][3];
    VALUE point[3], face_normal = Qnil;
    double xyz[3][3];
    if (!resolve_corners(s, fields, 3, index, point, xyz)) return 0;
    double ux = xyz[1][0] - xyz[0][0], uy = xyz[1][1] - xyz[0][1], uz = xyz[1][2] - xyz[0][2];
    double vx = xyz[2][0] - xyz[0][0], vy = xyz[2][1] - xyz[0][1], vz = xyz[2][2] - xyz[0][2];
    double nx = uy * vz - uz * vy, ny = uz * vx - ux * vz, nz = ux * vy - uy * vx;
    double square = nx * nx + ny * ny + nz * nz;
    /* A triangle without area costs a warning: the reader's. */
    if (!(square > 0.0 && isfinite(square))) return 0;

    if (needs_face_normal(index, 3)) {
        double length = sqrt(square);
        face_normal = triple(nx / length, ny / length, nz / length);
    }
    widen_bounds(s, xyz, 3);
    emit(s, 1, only, index, point, face_normal, next_surface(s));
    return 1;
}

/* The turn of a, b, c in the plane: positive when counter-clockwise. */
static double turn(const double *a, const double *b, const double *c)
{
    return (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]);
}

static int same_point(const double *p, const double *q) { return p[0] == q[0] && p[1] == q[1]; }

/* Strictly inside a, b, c or on an edge without being a corner, as the reader's test is. */
static int inside(const double *p, const double *a, const double *b, const double *c)
{
    if (same_point(p, a) || same_point(p, b) || same_point(p, c)) return 0;
    return turn(a, b, p) >= 0 && turn(b, c, p) >= 0 && turn(c, a, p) >= 0;
}

/* A four-cornered face as the reader cuts it: the outline's normal by Newell's sum, the
 * outline projected on the plane of its two smaller axes, and its first ear (a corner on a
 * straight edge first, else a convex one that holds no other corner, else the first convex
 * one, else the second corner) cut off. An outline without area, or one that leaves fewer
 * than two triangles, costs a warning: the reader's. */
static int quad(scan_state *s, const field *fields)
{
    long index[4][3];
    VALUE point[4], face_normal = Qnil;
    double xyz[4][3], flat[4][2];
    int triangles[2][3], made = 0;
    if (!resolve_corners(s, fields, 4, index, point, xyz)) return 0;

    double nx = 0.0, ny = 0.0, nz = 0.0;
    for (int i = 0; i < 4; i++) {
        const double *p = xyz[i], *q = xyz[(i + 1) % 4];
        nx += (p[1] - q[1]) * (p[2] + q[2]);
        ny += (p[2] - q[2]) * (p[0] + q[0]);
        nz += (p[0] - q[0]) * (p[1] + q[1]);
    }
    double length = sqrt(nx * nx + ny * ny + nz * nz);
    if (!(length > 0.0 && isfinite(length))) return 0;
    double normal[3] = {nx / length, ny / length, nz / length};

    int axis = 0;
    if (fabs(normal[1]) > fabs(normal[axis])) axis = 1;
    if (fabs(normal[2]) > fabs(normal[axis])) axis = 2;
    static const int plane[3][2] = {{1, 2}, {2, 0}, {0, 1}};
    double sign = normal[axis] < 0.0 ? -1.0 : 1.0;
    for (int i = 0; i < 4; i++) {
        flat[i][0] = xyz[i][plane[axis][0]];
        flat[i][1] = xyz[i][plane[axis][1]] * sign;
    }

    int ear = -1, first_convex = -1;
    for (int step = 0; step < 4 && ear < 0; step++) {
        int k = (step + 1) % 4;
        const double *a = flat[(k + 3) % 4], *b = flat[k], *c = flat[(k + 1) % 4];
        double area = turn(a, b, c);
        if (area == 0.0) {
            ear = k;
            break;
        }
        if (area < 0.0) continue;
        if (first_convex < 0) first_convex = k;
        int holds = 0;
        for (int i = 0; i < 4; i++) holds = holds || inside(flat[i], a, b, c);
        if (!holds) ear = k;
    }
    if (ear < 0) ear = first_convex >= 0 ? first_convex : 1;

    int a = (ear + 3) % 4, b = ear, c = (ear + 1) % 4, rest[3], kept = 0;
    if (turn(flat[a], flat[b], flat[c]) > 0.0) {
        triangles[made][0] = a;
        triangles[made][1] = b;
        triangles[made][2] = c;
        made++;
    }
    for (int i = 0; i < 4; i++)
        if (i != ear) rest[kept++] = i;
    if (turn(flat[rest[0]], flat[rest[1]], flat[rest[2]]) > 0.0) {
        memcpy(triangles[made], rest, sizeof rest);
        made++;
    }
    if (made < 2) return 0;

    if (needs_face_normal(index, 4)) face_normal = triple(normal[0], normal[1], normal[2]);
    widen_bounds(s, xyz, 4);
    emit(s, 2, (const int (*)[3])triangles, index, point, face_normal, next_surface(s));
    return 1;
}

/* One line without its end; 0 leaves it to the reader. */
static int take_line(scan_state *s, const char *p, const char *end)
{
    field fields[FIELDS_MAX];
    int count = 0;
    double a, b, c;
    /* A backslash at the end continues the line, even one in a comment. */
    if (memchr(p, '\\', (size_t)(end - p))) return 0;
    for (const char *q = p; q < end; q++) {
        unsigned char byte = (unsigned char)*q;
        if (byte == '#') {
            end = q;
            break;
        }
        if (byte >= 0x7f || (byte < 0x20 && byte != '\t' && byte != '\r')) return 0;
    }
    while (p < end) {
        while (p < end && is_blank(*p)) p++;
        if (p == end) break;
        if (count == FIELDS_MAX) return 0;
        fields[count].start = p;
        while (p < end && !is_blank(*p)) p++;
        fields[count].length = p - fields[count].start;
        count++;
    }
    if (count == 0) return 1;

    const char *word = fields[0].start;
    long length = fields[0].length;
    if (length == 1 && word[0] == 'v') {
        /* A fourth number (the weight) is not read; colours are the reader's. */
        if ((count != 4 && count != 5) || !plain_number(&fields[1], &a) || !plain_number(&fields[2], &b) ||
            !plain_number(&fields[3], &c))
            return 0;
        rb_ary_push(s->positions, triple(a * s->scale, -c * s->scale, b * s->scale));
        return 1;
    }
    if (length == 2 && word[0] == 'v' && word[1] == 't') {
        if (count < 2 || count > 4 || !plain_number(&fields[1], &a)) return 0;
        b = 0.0;
        if (count > 2 && !plain_number(&fields[2], &b)) return 0;
        rb_ary_push(s->uvs, rb_ary_new_from_args(2, DBL2NUM(a), DBL2NUM(b)));
        return 1;
    }
    if (length == 2 && word[0] == 'v' && word[1] == 'n') {
        if (count != 4 || !plain_number(&fields[1], &a) || !plain_number(&fields[2], &b) ||
            !plain_number(&fields[3], &c))
            return 0;
        rb_ary_push(s->normals, triple(a, -c, b));
        return 1;
    }
    if (length == 1 && word[0] == 'f' && s->faces) {
        if (count == 4) return triangle(s, fields);
        if (count == 5) return quad(s, fields);
    }
    return 0;
}

static long integer_arg(VALUE value, const char *what)
{
    if (!RB_INTEGER_TYPE_P(value)) rb_raise(rb_eTypeError, "ObjScan: %s is not an Integer", what);
    return NUM2LONG(value);
}

static VALUE array_at(VALUE list, long index)
{
    VALUE value = RARRAY_AREF(list, index);
    if (!RB_TYPE_P(value, T_ARRAY)) rb_raise(rb_eTypeError, "ObjScan.scan: arrays[%ld] is not an Array", index);
    return value;
}

static double bound_at(VALUE list, long axis)
{
    VALUE value = RARRAY_AREF(list, axis);
    if (!RB_FLOAT_TYPE_P(value)) rb_raise(rb_eTypeError, "ObjScan.scan: bounds are 3 Floats");
    return RFLOAT_VALUE(value);
}

/*
 * ObjScan.scan(text, offset, number, arrays, settings) -> [offset, number, flat, faces, triangles, line_end]
 *
 * Reads the lines of text from byte offset on; number is the count of lines before it.
 * arrays: positions, uvs, normals, corner slots, triangle materials, bounds min, bounds max
 * (3 Floats each, widened in place), and the uv of a corner without one. settings: a line
 * number whose multiples are left to the reader (0: none), the scale, the smoothing group
 * (nil: flat), the next flat surface id, the material id, whether faces are taken.
 * Answers where it stopped and the line count there, the next flat surface id, the faces
 * and triangles taken, and where the line it stopped before ends (its newline included).
 */
static VALUE scan(VALUE self, VALUE text, VALUE offset_value, VALUE number_value, VALUE arrays, VALUE settings)
{
    scan_state s;
    Check_Type(text, T_STRING);
    Check_Type(arrays, T_ARRAY);
    Check_Type(settings, T_ARRAY);
    if (RARRAY_LEN(arrays) != ARRAY_COUNT) rb_raise(rb_eArgError, "ObjScan.scan: arrays has %d entries", ARRAY_COUNT);
    if (RARRAY_LEN(settings) != SETTING_COUNT)
        rb_raise(rb_eArgError, "ObjScan.scan: settings has %d entries", SETTING_COUNT);
    if (!rb_enc_asciicompat(rb_enc_get(text))) rb_raise(rb_eArgError, "ObjScan.scan: text is not ASCII-compatible");
    long offset = integer_arg(offset_value, "the offset");
    long number = integer_arg(number_value, "the line count");
    long limit = integer_arg(RARRAY_AREF(settings, SETTING_LIMIT), "the report interval");
    long size = RSTRING_LEN(text);
    if (offset < 0 || offset > size) rb_raise(rb_eArgError, "ObjScan.scan: offset %ld is outside the text", offset);
    if (number < 0 || limit < 0) rb_raise(rb_eArgError, "ObjScan.scan: line counts are not negative");

    s.positions = array_at(arrays, ARRAY_POSITIONS);
    s.uvs = array_at(arrays, ARRAY_UVS);
    s.normals = array_at(arrays, ARRAY_NORMALS);
    s.slots = array_at(arrays, ARRAY_SLOTS);
    s.materials = array_at(arrays, ARRAY_MATERIALS);
    VALUE min = array_at(arrays, ARRAY_MIN), max = array_at(arrays, ARRAY_MAX);
    s.no_uv = array_at(arrays, ARRAY_NO_UV);
    if (RARRAY_LEN(min) != 3 || RARRAY_LEN(max) != 3) rb_raise(rb_eArgError, "ObjScan.scan: bounds are 3 Floats");
    VALUE scale = RARRAY_AREF(settings, SETTING_SCALE);
    if (!RB_FLOAT_TYPE_P(scale)) rb_raise(rb_eTypeError, "ObjScan.scan: the scale is a Float");
    s.scale = RFLOAT_VALUE(scale);
    s.smoothing = RARRAY_AREF(settings, SETTING_SMOOTHING);
    if (!NIL_P(s.smoothing) && !RB_INTEGER_TYPE_P(s.smoothing))
        rb_raise(rb_eTypeError, "ObjScan.scan: the smoothing group is nil or an Integer");
    s.flat = integer_arg(RARRAY_AREF(settings, SETTING_FLAT), "the flat surface id");
    s.material = RARRAY_AREF(settings, SETTING_MATERIAL);
    if (!RB_INTEGER_TYPE_P(s.material)) rb_raise(rb_eTypeError, "ObjScan.scan: the material id is an Integer");
    s.faces = RTEST(RARRAY_AREF(settings, SETTING_FACES));
    for (long axis = 0; axis < 3; axis++) {
        s.min[axis] = bound_at(min, axis);
        s.max[axis] = bound_at(max, axis);
    }
    s.taken_faces = 0;
    s.taken_triangles = 0;

    /* The text is held on this frame, so its bytes stay put while arrays grow. */
    const char *bytes = RSTRING_PTR(text);
    long line_end = offset;
    while (offset < size) {
        const char *start = bytes + offset;
        const char *newline = memchr(start, '\n', (size_t)(size - offset));
        line_end = newline ? newline - bytes + 1 : size;
        if (limit && (number + 1) % limit == 0) break;
        if (!take_line(&s, start, newline ? newline : bytes + size)) break;
        offset = line_end;
        number++;
    }
    if (offset == size) line_end = size;
    RB_GC_GUARD(text);

    for (long axis = 0; axis < 3; axis++) {
        rb_ary_store(min, axis, DBL2NUM(s.min[axis]));
        rb_ary_store(max, axis, DBL2NUM(s.max[axis]));
    }
    VALUE answer[6] = {LONG2NUM(offset), LONG2NUM(number), LONG2NUM(s.flat), LONG2NUM(s.taken_faces),
                       LONG2NUM(s.taken_triangles), LONG2NUM(line_end)};
    return rb_ary_new_from_values(6, answer);
}

/* ObjScan.line_end(text, offset) -> where the line from byte offset ends, its newline included. */
static VALUE line_end_of(VALUE self, VALUE text, VALUE offset_value)
{
    Check_Type(text, T_STRING);
    long offset = integer_arg(offset_value, "the offset");
    long size = RSTRING_LEN(text);
    if (offset < 0 || offset > size) rb_raise(rb_eArgError, "ObjScan.line_end: offset %ld is outside the text", offset);
    const char *bytes = RSTRING_PTR(text);
    const char *newline = memchr(bytes + offset, '\n', (size_t)(size - offset));
    RB_GC_GUARD(text);
    return LONG2NUM(newline ? newline - bytes + 1 : size);
}

void Init_zarniksu_obj_scan(void)
{
    c_locale = newlocale(LC_ALL_MASK, "C", (locale_t)0);
    if (c_locale == (locale_t)0) rb_raise(rb_eLoadError, "zarniksu_obj_scan: no C locale");
    VALUE driver = rb_define_module("ZarniksuDriver");
    VALUE scan_module = rb_define_module_under(driver, "ObjScan");
    rb_define_module_function(scan_module, "scan", scan, 5);
    rb_define_module_function(scan_module, "line_end", line_end_of, 2);
}
