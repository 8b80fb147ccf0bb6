#include "support/FaultInjectingFileAccess.hpp"

#include "core/BackupError.hpp"

#include <filesystem>
#include <system_error>

namespace stowage::testing {

FaultInjectingFileAccess::FaultInjectingFileAccess(FileAccessPtr inner) : inner_(std::move(inner)) {}

void FaultInjectingFileAccess::failOn(Operation operation, int nth, std::exception_ptr error, When when) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_[{operation, nth}] = Fault{std::move(error), when, std::errc::io_error};
}

void FaultInjectingFileAccess::failOn(Operation operation, int nth, When when) {
    failOn(operation, nth, nullptr, when);
}

void FaultInjectingFileAccess::failOn(Operation operation, int nth, std::errc reason, When when) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_[{operation, nth}] = Fault{nullptr, when, reason};
}

void FaultInjectingFileAccess::failFrom(Operation operation, int nth) {
    std::lock_guard<std::mutex> lock(mutex_);
    failFrom_[operation] = nth;
}

int FaultInjectingFileAccess::calls(Operation operation) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = calls_.find(operation);
    return it == calls_.end() ? 0 : it->second;
}

std::vector<std::string> FaultInjectingFileAccess::failedPaths() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failedPaths_;
}

std::exception_ptr FaultInjectingFileAccess::naturalError(Operation operation, const std::string& path,
                                                          std::errc reason) {
    auto eio = std::make_error_code(reason);
    switch (operation) {
    case Operation::write:
        return std::make_exception_ptr(BackupError::io("could not write " + path));
    case Operation::createDirectory:
        return std::make_exception_ptr(std::filesystem::filesystem_error("could not create folder", path, eio));
    case Operation::remove:
        return std::make_exception_ptr(std::filesystem::filesystem_error("could not remove", path, eio));
    case Operation::copyItem:
        return std::make_exception_ptr(std::filesystem::filesystem_error("could not copy", path, eio));
    }
    return nullptr;
}

template <typename Call> void FaultInjectingFileAccess::run(Operation operation, const std::string& path, Call&& call) {
    std::optional<Fault> fault;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = ++calls_[operation];
        if (auto it = faults_.find({operation, n}); it != faults_.end())
            fault = it->second;
        else if (auto from = failFrom_.find(operation); from != failFrom_.end() && n >= from->second)
            fault = Fault{nullptr, When::before, std::errc::io_error};
        if (fault)
            failedPaths_.push_back(path);
    }
    if (!fault) {
        call();
        return;
    }
    if (fault->when == When::after)
        call();
    std::rethrow_exception(fault->error ? fault->error : naturalError(operation, path, fault->reason));
}

void FaultInjectingFileAccess::write(const Bytes& data, const std::string& path, std::optional<std::uint16_t> mode) {
    run(Operation::write, path, [&] { inner_->write(data, path, mode); });
}

void FaultInjectingFileAccess::createDirectory(const std::string& path, std::optional<std::uint16_t> mode) {
    run(Operation::createDirectory, path, [&] { inner_->createDirectory(path, mode); });
}

void FaultInjectingFileAccess::writeBeneath(const std::string& root, const Bytes& data, const std::string& path,
                                            std::optional<std::uint16_t> mode) {
    run(Operation::write, path, [&] { inner_->writeBeneath(root, data, path, mode); });
}

void FaultInjectingFileAccess::createDirectoryBeneath(const std::string& root, const std::string& path,
                                                      std::optional<std::uint16_t> mode) {
    run(Operation::createDirectory, path, [&] { inner_->createDirectoryBeneath(root, path, mode); });
}

void FaultInjectingFileAccess::remove(const std::string& path) {
    run(Operation::remove, path, [&] { inner_->remove(path); });
}

void FaultInjectingFileAccess::copyItem(const std::string& source, const std::string& destination) {
    run(Operation::copyItem, destination, [&] { inner_->copyItem(source, destination); });
}

} // namespace stowage::testing
