#include "common/SysError.h"

#include <cerrno>
#include <cstring>

namespace gd {

QString SystemErrorText(int error) {
    switch (error) {
    case EPERM:
        return QStringLiteral("Операция не позволена");
    case ENOENT:
        return QStringLiteral("Нет такого файла или каталога");
    case EIO:
        return QStringLiteral("Ошибка ввода/вывода");
    case ENXIO:
        return QStringLiteral("Нет такого устройства или адреса");
    case EBADF:
        return QStringLiteral("Неправильный дескриптор файла");
    case EAGAIN:
        return QStringLiteral("Ресурс временно недоступен");
    case ENOMEM:
        return QStringLiteral("Невозможно выделить память");
    case EACCES:
        return QStringLiteral("Отказано в доступе");
    case EBUSY:
        return QStringLiteral("Устройство или ресурс занято");
    case EEXIST:
        return QStringLiteral("Файл существует");
    case EXDEV:
        return QStringLiteral("Неверная ссылка между устройствами");
    case ENODEV:
        return QStringLiteral("Нет такого устройства");
    case ENOTDIR:
        return QStringLiteral("Это не каталог");
    case EISDIR:
        return QStringLiteral("Это каталог");
    case EINVAL:
        return QStringLiteral("Недопустимый аргумент");
    case EMFILE:
        return QStringLiteral("Слишком много открытых файлов");
    case ETXTBSY:
        return QStringLiteral("Текстовый файл занят");
    case EFBIG:
        return QStringLiteral("Файл слишком велик");
    case ENOSPC:
        return QStringLiteral("Нет места на устройстве");
    case EROFS:
        return QStringLiteral("Файловая система доступна только для чтения");
    case EPIPE:
        return QStringLiteral("Обрыв канала");
    case ENAMETOOLONG:
        return QStringLiteral("Слишком длинное имя файла");
    case ELOOP:
        return QStringLiteral("Слишком много уровней символьных ссылок");
    case EDQUOT:
        return QStringLiteral("Превышена дисковая квота");
    case ETIMEDOUT:
        return QStringLiteral("Время ожидания соединения истекло");
    case ECONNREFUSED:
        return QStringLiteral("В соединении отказано");
    case EHOSTUNREACH:
        return QStringLiteral("Нет маршрута до узла");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

} // namespace gd
